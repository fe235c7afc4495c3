#include "modCOMFunctions.h"

#include <algorithm>
#include <vector>

#include "Clock.h"
#include "PoolLoan.h"
#include "TurnCommit.h"
#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"
#include "modGenFunctionsString.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace modCOMFunctions {
namespace {

using modGlobalVariables::kMessageAMU;
using modGlobalVariables::kMessageCO;
using modGlobalVariables::kMessageMT;
using modGlobalVariables::kMessagePR;
using modGlobalVariables::kMessageRT;
using modGlobalVariables::kMessageSD;
using modGlobalVariables::kMessageST;
using modGlobalVariables::kMessageTS;
using modGlobalVariables::kMessageUID;
using modGlobalVariables::kRecipientST;
using modGlobalVariables::kRecipientUID;

// Marks a sent row from its store until its deliveries are stored.
constexpr const char* kSendUnderWay = "SUW";
constexpr int32_t kUserUID = 0;
constexpr int32_t kUserIP = 7;

// Statuses only move forward (1 queued, 50 delivered, 100 opened, 400
// recalled): a late delivery reply never undoes an opened or recalled one.
bool raises(const std::string& stored, int32_t status) {
  const auto current = modGenFunctions::StrToLong(stored);
  return status > current;
}

// True when the message row was found.
bool updateIn(clsGenObject& messages, const std::string& messageUID,
              const std::string& recipientUID, int32_t status, StatusSave save) {
  messages.PC_SelectSingleNode(kMessageUID, messageUID);
  if (!messages.IsRowSelected()) return false;
  messages.SC_SelectSingleNode(kRecipientUID, recipientUID);
  if (!messages.IsSubRowSelected()) return true;
  if (raises(messages.GetFieldFromSubRow(kRecipientST), status)) {
    messages.SubRowSetField(kRecipientST, status);
    const auto recipients = std::distance(messages.GetCurrent().children().begin(),
                                          messages.GetCurrent().children().end());
    if (recipients < 2) messages.SetField(kMessageST, status);
  }
  // A status raised before may be held only in memory (the disk refused its
  // save): it is written as if raised now, so that the caller never takes it
  // as stored while it is not.
  if (save == StatusSave::kDurable) {
    messages.SaveXMLDoc();
  } else {
    messages.WriteXMLDoc();
  }
  return true;
}

constexpr int32_t kQueued = 1;
constexpr int32_t kAutomaticReply = -1;
constexpr int32_t kOpened = 100;
constexpr int32_t kAnswered = 220;

std::vector<std::string> distinctRecipients(const std::string& recipients) {
  std::vector<std::string> distinct;
  for (const std::string& item : modGenFunctionsString::splitText(recipients, "||")) {
    if (!item.empty() && std::find(distinct.begin(), distinct.end(), item) == distinct.end()) {
      distinct.push_back(item);
    }
  }
  return distinct;
}

std::string storedContent(const std::string& content) {
  std::string stored = modGenFunctions::ConvertCRLF(content, true);
  if (modLocalUserFunctions::LocalUserOptions.IncludeSignature) {
    stored += std::string(modGenFunctions::kCrLfMarker) + modGenFunctions::kCrLfMarker +
              modLocalUserFunctions::GetLocalUserFieldValue(modLocalUserFunctions::kLocalUserSI,
                                                            "", false);
  }
  return stored;
}

// Writes the message row and its recipients into `messages`; returns its XML.
std::string addMessageRow(clsGenObject& messages, const std::string& uid, const std::string& content,
                          int32_t priority, int32_t responseType,
                          const std::vector<std::string>& recipients,
                          const std::string& answeredUID, bool automaticReply) {
  messages.SetField(kMessageSD, modGlobalVariables::CurrentLocalUserUID);
  messages.SetField(kMessageTS,
                    platform::now().toString("yyyy-MM-dd hh:mm:ss").toStdString());
  messages.SetField(kMessageCO, storedContent(content));
  messages.SetField(kMessagePR, priority);
  messages.SetField(kMessageRT, responseType);
  messages.SetField(kMessageST, automaticReply ? kAutomaticReply : kQueued);
  messages.SetField(kMessageAMU, answeredUID);
  messages.SetField(kMessageMT, "2");
  messages.AddCurrentRow();
  for (const std::string& recipient : recipients) {
    messages.AddSubRow(kMessageUID, uid, kRecipientUID, recipient);
    messages.SubRowSetField(kRecipientST, kQueued);
  }
  messages.PC_SelectSingleNode(kMessageUID, uid);
  return modGenFunctionsXML::XMLToString(messages.GetCurrent());
}

// Takes back a send that could not be stored whole, so that nothing of it
// is written or delivered later: its deliveries, and its sent row unless it
// is an automatic reply (which has none).
void withdrawSend(const std::string& uid, bool automaticReply) {
  clsActionManager& actions = ActionManager();
  std::vector<std::string> deliveries;
  if (const XMLDocumentRef& store = actions.Actions().XMLDocLinked()) {
    for (const pugi::xml_node row : store->rootElement().children("A")) {
      if (uid == row.attribute("OUID").value()) deliveries.emplace_back(row.attribute("UID").value());
    }
  }
  for (const std::string& delivery : deliveries) actions.DeleteAction(delivery, false);
  if (automaticReply) return;
  PoolLoan messages(modGlobalVariables::MessSent);
  // A disk that refused the row may refuse its removal: a later save writes it.
  messages->Delete(false, kMessageUID, uid, false);
  try {
    messages->SaveXMLDoc();
  } catch (...) {
    logError("modCOMFunctions.SendMessageToRecipients");
  }
}

// The send's deliveries are on disk: its row is a message like any other.
// The mark's removal needs no sync of its own; a start that finds the mark
// with the deliveries queued drops it too.
void endSendUnderWay(const std::string& uid) {
  PoolLoan messages(modGlobalVariables::MessSent);
  const pugi::xml_node row =
      messages->XMLDocLinked()->firstRowWhere(messages->XMLElementBaseName(), "UID", uid);
  clsGenXMLDocument::removeAttribute(row, kSendUnderWay);
  try {
    messages->WriteXMLDoc();
  } catch (...) {
    logError("modCOMFunctions.SendMessageToRecipients");
  }
}

void markAnswered(const std::string& answeredUID) {
  if (answeredUID.empty()) return;
  PoolLoan received(modGlobalVariables::MessRec);
  received->PC_SelectSingleNode(kMessageUID, answeredUID);
  if (received->IsRowSelected() && received->GetField(kMessageST) == std::to_string(kOpened)) {
    received->SetField(kMessageST, kAnswered);
    received->WriteXMLDoc();
  }
}

// Raises kErrNoRecipientAddress when a recipient has no address: a
// delivery to him would be given up at once, after the person was told
// that the message is on its way.
void requireAddresses(const std::vector<std::string>& recipients) {
  const std::vector<std::string> unreachable = RecipientsWithoutAddress(recipients);
  if (unreachable.empty()) return;
  std::string listed;
  for (const std::string& uid : unreachable) listed += (listed.empty() ? "" : ", ") + uid;
  throw TvrError(kErrNoRecipientAddress, "modCOMFunctions.SendMessageToRecipients",
                 "No address is known for the recipient(s) " + listed);
}

}  // namespace

std::vector<std::string> RecipientsWithoutAddress(const std::vector<std::string>& recipients) {
  try {
    std::vector<std::string> unreachable;
    for (const std::string& uid : recipients) {
      if (uid.empty()) continue;
      if (modGlobalFunctions::GetObjectFieldValue(modGlobalVariables::User, kUserUID, uid, kUserIP,
                                                  false)
              .empty()) {
        unreachable.push_back(uid);
      }
    }
    return unreachable;
  } catch (...) {
    raiseAgain("modCOMFunctions.RecipientsWithoutAddress");
  }
}

std::string SendMessageToRecipients(const std::string& content, int32_t priority,
                                    int32_t responseType, const std::string& recipients,
                                    const std::string& answeredUID, bool RA, bool automaticReply) {
  try {
    const std::vector<std::string> to = distinctRecipients(recipients);
    requireAddresses(to);
    // The queue starts (settling earlier sends) before this one is under way.
    clsActionManager& actions = ActionManager();
    std::string uid;
    std::string xml;
    if (automaticReply) {
      const auto replies = modGlobalFunctions::CreateGenObject(modGlobalVariables::MessSent, "",
                                                               false, false);
      XMLDocumentRef document;
      modGenFunctionsXML::XMLInitDocument(document, "TVR", true);
      replies->XMLDocLinked(document);
      uid = replies->CreateNewRow(true, kMessageUID);
      xml = addMessageRow(*replies, uid, content, priority, responseType, to, answeredUID, true);
    } else {
      PoolLoan messages(modGlobalVariables::MessSent);
      uid = messages->CreateNewRow(true, kMessageUID);
      xml = addMessageRow(*messages, uid, content, priority, responseType, to, answeredUID, false);
      clsGenXMLDocument::setAttribute(messages->GetCurrent(), kSendUnderWay, "1");
    }
    try {
      if (!automaticReply) PoolLoan(modGlobalVariables::MessSent)->WriteXMLDoc();
      for (const std::string& recipient : to) {
        actions.AddAction(modGlobalVariables::kRequestDeliverMessage, uid, recipient, xml, RA, "",
                          false, true, true);
      }
      actions.MarkSendUnderWay(uid, true);
      actions.WriteStore();
    } catch (...) {
      withdrawSend(uid, automaticReply);
      throw;
    }
    // The sends of one turn share the syncs of the turn's commit: until it
    // is done the row and the deliveries stay marked as a send under way.
    TurnCommit::after(nullptr, [uid, automaticReply](bool onDisk) {
      if (!onDisk) {
        withdrawSend(uid, automaticReply);
        return;
      }
      ActionManager().MarkSendUnderWay(uid, false);
      if (!automaticReply) endSendUnderWay(uid);
    });
    actions.StartActionManager();
    markAnswered(answeredUID);
    return uid;
  } catch (...) {
    raiseAgain("modCOMFunctions.SendMessageToRecipients");
  }
}

void SettleInterruptedSends(const std::set<std::string>& queued) {
  try {
    PoolLoan messages(modGlobalVariables::MessSent);
    std::vector<std::string> cutShort;
    std::vector<pugi::xml_node> whole;
    for (const pugi::xml_node row : messages->XMLDocLinked()->rootElement().children()) {
      if (!row.attribute(kSendUnderWay)) continue;
      const std::string uid = row.attribute("UID").value();
      if (queued.count(uid) != 0) {
        whole.push_back(row);
      } else {
        cutShort.push_back(uid);
      }
    }
    if (cutShort.empty() && whole.empty()) return;
    for (const pugi::xml_node row : whole) clsGenXMLDocument::removeAttribute(row, kSendUnderWay);
    for (const std::string& uid : cutShort) messages->Delete(false, kMessageUID, uid, false);
    messages->SaveXMLDoc();
  } catch (...) {
    raiseAgain("modCOMFunctions.SettleInterruptedSends");
  }
}

void UpdateRecipientStatus(const std::string& messageUID, const std::string& recipientUID,
                           int32_t status, clsGenObject* collection, StatusSave save) {
  try {
    if (messageUID.empty() || recipientUID.empty()) return;
    if (collection != nullptr) {
      updateIn(*collection, messageUID, recipientUID, status, save);
      return;
    }
    {
      PoolLoan messages(modGlobalVariables::MessSent);
      if (updateIn(*messages, messageUID, recipientUID, status, save)) return;
    }
    // A message moved to the history still learns what its recipients did.
    PoolLoan history(modGlobalVariables::MessHist);
    updateIn(*history, messageUID, recipientUID, status, save);
  } catch (...) {
    raiseAgain("modCOMFunctions.UpdateRecipientStatus");
  }
}

}  // namespace modCOMFunctions
