#include "modCOMRequestedAction.h"

#include <charconv>
#include <map>
#include <optional>
#include <set>
#include <string_view>

#include "Clock.h"
#include "IdentityChecks.h"
#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "TurnCommit.h"
#include "clsGenErrorHandler.h"
#include "modGenFunctions.h"
#include "modCOMFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsXML.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"
#include "modFileTransfer.h"
#include "modGenFunctionsString.h"

namespace modCOMRequestedAction {
namespace {

using modGlobalVariables::kMessageMT;
using modGlobalVariables::kMessageST;
using modGlobalVariables::kMessageUID;

using namespace modGlobalVariables;
using modGlobalFunctions::GenObjectRef;

constexpr int32_t kActionAT = 1;
constexpr int32_t kActionSUID = 3;
constexpr int32_t kActionRUID = 4;
constexpr int32_t kActionOUID = 5;
constexpr int32_t kActionV = 6;

constexpr int32_t kUserCS = 1;
constexpr int32_t kUserIP = 7;
constexpr int32_t kFullName = 50001;  // "FN LN" of a User or LocalUser row


constexpr int32_t kGenericFailure = 100001;
constexpr int32_t kRecipientNotFound = 100200;
constexpr int32_t kSenderRefused = 100301;

constexpr const char* kReceivedUnread = "60";
constexpr const char* kAutomaticReply = "-1";
constexpr int32_t kOpened = 100;
constexpr int32_t kArrivalMessage = 20102;
// The automatic-reply priority and response type.
constexpr int32_t kAutoReplyPriority = 2;
constexpr int32_t kAutoReplyResponseType = 3;
// One automatic reply per sender and account within this many seconds.
constexpr qint64 kAutoReplyPeriodSeconds = 3600;

std::string escaped(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\r': out += "&#13;"; break;
      case '\n': out += "&#10;"; break;
      case '\t': out += "&#9;"; break;
      default: out += c;
    }
  }
  return out;
}

void appendAttribute(std::string& out, const char* name, const std::string& value) {
  out += ' ';
  out += name;
  out += "=\"";
  out += escaped(value);
  out += '"';
}

// The request code of a text that has one: a whole number, else error 13.
int32_t requestCode(const std::string& text) {
  const std::optional<int32_t> code = modGenFunctions::ParseWholeNumber(text);
  if (!code) throw TvrError(kErrTypeMismatch, "", "Type mismatch");
  return *code;
}

std::string field(const XMLDocumentRef& request, int32_t number) {
  return modGlobalFunctions::GetFieldValue(Action, request->rootElement(), number, false);
}

std::string reply(int32_t code, const std::string& RE = {}, const std::string& CO = {}) {
  return BuildResponse(RE, "", "", code, CO, false);
}

bool isLocalAccount(const std::string& uid) {
  if (uid.empty()) return false;
  std::string found;
  return modLocalUserFunctions::IsLocalUser(modLocalUserFunctions::kLocalUserUID, uid,
                                            modLocalUserFunctions::kLocalUserUID, found);
}

// A handler's frame for a request to one of this computer's accounts: any
// other RUID is answered 100200; an error of `handle` is logged under
// `procedure` and answered `failure`.
template <typename Handle>
std::string forLocalAccount(const XMLDocumentRef& request, const char* procedure, int32_t failure,
                            Handle handle) {
  std::string RUID;
  try {
    RUID = field(request, kActionRUID);
    if (!isLocalAccount(RUID)) return reply(kRecipientNotFound, RUID);
    return handle(RUID);
  } catch (...) {
    logError(procedure);
    return reply(failure, RUID);
  }
}

// Whether this connection's sender check passed for that sender and
// recipient: deliveries and file offers need it.
bool senderChecked(const ConnectionState& state, const std::string& SUID, const std::string& RUID) {
  return state.SenderAccepted && state.CheckedSenderUID == SUID && state.CheckedRecipientUID == RUID;
}

bool isLoggedIn(const std::string& account) {
  return !account.empty() && account == CurrentLocalUserUID;
}

// One class of an account's data: the pooled collection when the account
// is logged in (so what is changed here is what its windows show), else a
// private collection read from the account's file. The accounts themselves
// (LocalUser) are always the pooled collection.
class AccountData {
 public:
  AccountData(int32_t classType, const std::string& account) {
    if (classType == LocalUser || isLoggedIn(account)) {
      pooled_.emplace(classType);
    } else {
      private_ = modGlobalFunctions::GetUserDataObject(classType, account, true);
    }
  }
  clsGenObject& operator*() const { return pooled_ ? **pooled_ : *private_; }
  clsGenObject* operator->() const { return &**this; }
  pugi::xml_node row(const std::string& uid) const {
    clsGenObject& data = **this;
    return data.XMLDocLinked()->firstRowWhere(data.XMLElementBaseName(), "UID", uid);
  }

 private:
  std::optional<PoolLoan> pooled_;
  GenObjectRef private_;
};

modLocalUserFunctions::UserOptions optionsOf(const std::string& account) {
  if (isLoggedIn(account)) return modLocalUserFunctions::LocalUserOptions;
  modLocalUserFunctions::UserOptions options;
  modLocalUserFunctions::LoadLocalUserOptions(options, false, account, "");
  return options;
}

bool isListedSender(const std::string& RUID, const std::string& SUID) {
  if (RUID.empty() || SUID.empty()) return false;
  return static_cast<bool>(AccountData(User, RUID).row(SUID));
}

// A UID is only a claim: a person whose row in RUID's users directory has
// an address speaks for himself only from there. The address on file when
// the request comes from another one; nothing when it comes from there, or
// SUID has no row, or his row no address.
std::optional<std::string> addressElsewhere(const std::string& RUID, const std::string& SUID,
                                            const ConnectionState& state) {
  if (RUID.empty() || SUID.empty()) return std::nullopt;
  const AccountData directory(User, RUID);
  const pugi::xml_node row = directory.row(SUID);
  if (!row) return std::nullopt;
  std::string address = modGlobalFunctions::GetFieldValue(User, row, kUserIP, false);
  if (address.empty() || address == state.PeerAddress) return std::nullopt;
  return address;
}

bool isKnownField(int32_t classType, std::string_view name) {
  for (const std::string& known : modGenGlobals::FieldNameTable[classType]) {
    if (known.empty()) return false;
    if (known == name) return true;
  }
  return false;
}

bool hasOnlyKnownAttributes(pugi::xml_node element, int32_t classType) {
  std::set<std::string_view> seen;
  for (const pugi::xml_attribute attribute : element.attributes()) {
    if (!isKnownField(classType, attribute.name()) || !seen.insert(attribute.name()).second) {
      return false;
    }
  }
  return true;
}

bool isUIDText(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return false;
    } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

// A message row "M" that `sender` sent: a UID of the GUID form, its own
// "SD", the message fields only, and recipient sub rows "U" only.
bool isMessageOf(pugi::xml_node message, const std::string& sender) {
  if (std::string_view(message.name()) != "M" || !hasOnlyKnownAttributes(message, MessRec)) {
    return false;
  }
  if (!isUIDText(message.attribute("UID").value())) return false;
  if (sender.empty() || sender != message.attribute("SD").value()) return false;
  for (const pugi::xml_node child : message.children()) {
    if (child.type() != pugi::node_element || std::string_view(child.name()) != "U" ||
        child.first_child() || !hasOnlyKnownAttributes(child, MessRecipient)) {
      return false;
    }
  }
  return true;
}

// Whether an automatic reply from `account` to `sender` is due, and if so
// notes it as sent now.
bool autoReplyDue(const std::string& account, const std::string& sender) {
  static std::map<std::string, QDateTime> lastReply;
  const QDateTime now = platform::now();
  QDateTime& last = lastReply[account + "|" + sender];
  if (last.isValid() && last <= now && last.secsTo(now) < kAutoReplyPeriodSeconds) return false;
  last = now;
  return true;
}

// What follows a stored message: the board, the automatic reply and the
// activity. A failure of one is logged and does not stop the others: the
// message is stored and is answered as delivered.
void announceArrival(pugi::xml_node message, const std::string& RUID, const std::string& senderName,
                     const std::string& storedStatus) {
  const std::string uid = message.attribute("UID").value();
  const std::string sender = message.attribute("SD").value();
  if (isLoggedIn(RUID)) {
    try {
      const bool autoReply = MessageCenterServices::AutoReplyOn();
      if ((!autoReply && modLocalUserFunctions::LocalUserOptions.ShowIncomingMessage) ||
          std::string_view(message.attribute("PR").value()) == "1") {
        MessageCenterServices::AddBoardItem(MessageCenterServices::kBoardReceivedMessage, uid);
        MessageCenterServices::SynchronizeDisplays(MessageCenterServices::kReceivedDisplay, false);
      }
    } catch (...) {
      logError("modCOMRequestedAction.ProcessDeliverMessage");
    }
    try {
      if (MessageCenterServices::AutoReplyOn() && sender != CurrentLocalUserUID &&
          storedStatus != kAutomaticReply && autoReplyDue(RUID, sender)) {
        modCOMFunctions::SendMessageToRecipients(MessageCenterServices::AutoReplyText(),
                                                 kAutoReplyPriority, kAutoReplyResponseType,
                                                 sender, "", false, true);
      }
    } catch (...) {
      logError("modCOMRequestedAction.ProcessDeliverMessage");
    }
  }
  try {
    const std::string text = modGenFunctionsResource::GetResourceMessage(kArrivalMessage, {senderName});
    MessageCenterServices::AddActivity(MessageCenterServices::kIncomingMessages, text,
                                       MessageCenterServices::kReceivedMessage, uid, RUID);
  } catch (...) {
    logError("modCOMRequestedAction.ProcessDeliverMessage");
  }
}

// Takes back a received message that did not reach the disk, so that it
// arrives as a new message when its sender tries again.
void forgetReceived(const std::string& RUID, const std::string& uid) {
  AccountData received(MessRec, RUID);
  received->Delete(false, kMessageUID, uid, false);
  try {
    received->WriteXMLDoc();
  } catch (...) {
    // The collection holds the removal: a later save writes it.
    logError("modCOMRequestedAction.ProcessDeliverMessage");
  }
}

std::string identityList(const AccountData& rows, int32_t classType) {
  XMLDocumentRef list;
  modGenFunctionsXML::XMLInitDocument(list, "TVR", true);
  for (const pugi::xml_node row : rows->XMLDocLinked()->rootElement().children()) {
    if (row.type() != pugi::node_element) continue;
    const pugi::xml_node target = list->appendElement(list->rootElement(), "U");
    try {
      modLocalUserFunctions::BuildUserIdentityElement(classType, row, target);
    } catch (...) {
      // A row without every identity field is left out of the list.
      logError("modCOMRequestedAction.identityList");
      list->remove(target);
    }
  }
  return modGenFunctionsXML::XMLToString(list->rootElement());
}

}  // namespace

std::string ProcessRequestedAction(const std::string& requestText, ConnectionState& state) {
  // A peer's request never opens a box, however it reached this copy.
  const platform::UnattendedScope unattended;
  try {
    if (requestText.empty()) return {};
    const XMLDocumentRef request = clsGenXMLDocument::create();
    if (!request->load(requestText)) return {};
    const pugi::xml_node root = request->rootElement();
    if (std::string_view(root.name()) != "A") return {};
    switch (requestCode(field(request, kActionAT))) {
      case kRequestCheckRecipient: return ProcessCheckRecipient(request);
      case kRequestCheckSender: return ProcessCheckSender(request, state);
      case kRequestSenderIdentity: return ProcessUserIdentity(request, state);
      case kRequestLocalUsers: return ProcessListLocalUsers();
      case kRequestUsersDirectory: return ProcessGetUserDirectory(request);
      case kRequestDeliverMessage: return ProcessDeliverMessage(request, state);
      case kRequestUserInformation: return ProcessGetUserInfo(request);
      case kRequestMessageStatus: return ProcessMessageStatus(request, state);
      case kRequestRecallMessage: return ProcessRecallMessage(request, state);
      case kRequestOfferFiles: return ProcessFileOffer(request, state);
      default: return {};
    }
  } catch (...) {
    logError("modCOMRequestedAction.ProcessRequestedAction");
    return FallbackResponseText;
  }
}

std::string BuildResponse(const std::string& RE, const std::string& ST, const std::string& OUID,
                          int32_t V, const std::string& CO, bool omit) {
  std::string reply = "<R";
  if (!omit) {
    appendAttribute(reply, "SD", CurrentLocalUserUID);
    if (!RE.empty()) appendAttribute(reply, "RE", RE);
    appendAttribute(reply, "ST", ST);
    if (!OUID.empty()) appendAttribute(reply, "OUID", OUID);
    if (!CO.empty()) appendAttribute(reply, "CO", CO);
  }
  appendAttribute(reply, "V", std::to_string(V));
  return reply + "/>";
}

std::string ProcessCheckRecipient(const XMLDocumentRef& request) {
  try {
    return reply(isLocalAccount(field(request, kActionRUID)) ? kRequestCheckRecipient
                                                             : kRecipientNotFound);
  } catch (...) {
    logError("modCOMRequestedAction.ProcessCheckRecipient");
    return reply(kGenericFailure);
  }
}

std::string ProcessCheckSender(const XMLDocumentRef& request, ConnectionState& state) {
  state.SenderAccepted = false;
  state.CheckedSenderUID.clear();
  state.CheckedRecipientUID.clear();
  try {
    const std::string RUID = field(request, kActionRUID);
    const std::string SUID = field(request, kActionSUID);
    if (!isLocalAccount(RUID)) return reply(kRecipientNotFound);
    // A listed person from another address may have moved: his identity
    // (request 400) comes next and has to pass the check of the address on
    // file, and nothing is delivered on this connection.
    if (addressElsewhere(RUID, SUID, state)) return reply(100300);
    int32_t code = kSenderRefused;
    if (IsKnownSender(RUID, SUID, field(request, kActionV))) {
      code = kRequestCheckSender;
    } else if (isListedSender(RUID, SUID) || IsSenderAcceptedByOptions(RUID)) {
      // A listed sender with another "CS" is accepted: his identity step
      // (400) follows and refreshes the row.
      code = 100300;
    }
    if (code != kSenderRefused) {
      state.SenderAccepted = true;
      state.CheckedSenderUID = SUID;
      state.CheckedRecipientUID = RUID;
    }
    return reply(code);
  } catch (...) {
    logError("modCOMRequestedAction.ProcessCheckSender");
    return reply(kGenericFailure);
  }
}

bool IsKnownSender(const std::string& RUID, const std::string& SUID, const std::string& senderCS) {
  try {
    if (RUID.empty() || SUID.empty()) return false;
    const AccountData directory(User, RUID);
    const pugi::xml_node row = directory.row(SUID);
    if (!row) return false;
    return senderCS.empty() ||
           modGlobalFunctions::GetFieldValue(User, row, kUserCS, false) == senderCS;
  } catch (...) {
    logError("modCOMRequestedAction.IsKnownSender");
    throw;
  }
}

bool IsSenderAcceptedByOptions(const std::string& RUID) {
  try {
    if (RUID.empty()) return false;
    return !optionsOf(RUID).AcceptMessFileFromUserInMyUserList;
  } catch (...) {
    logError("modCOMRequestedAction.IsSenderAcceptedByOptions");
    throw;
  }
}

std::string ProcessUserIdentity(const XMLDocumentRef& request, const ConnectionState& state) {
  try {
    const std::string RUID = field(request, kActionRUID);
    const std::string SUID = field(request, kActionSUID);
    const std::string V = modLocalUserFunctions::IdentityElementText(field(request, kActionV));
    if (RUID.empty() || V.empty()) return reply(modGlobalFunctions::kIdentityRefused);
    if (!isLocalAccount(RUID)) return reply(modGlobalFunctions::kIdentityUnchanged);
    // Only the requester's own identity is taken; while the account takes
    // messages only from its list, nobody new gets onto that list this way.
    const XMLDocumentRef identity = clsGenXMLDocument::create();
    if (SUID.empty() || !identity->load(V) || SUID != identity->rootElement().attribute("UID").value() ||
        (!IsSenderAcceptedByOptions(RUID) && !isListedSender(RUID, SUID))) {
      return reply(modGlobalFunctions::kIdentityUnchanged);
    }
    // A listed person moves to the address he speaks from only when the
    // address on file no longer answers for him; until then he is told to
    // try again later.
    if (const std::optional<std::string> onFile = addressElsewhere(RUID, SUID, state)) {
      if (!state.PeerAddress.empty() &&
          state.PeerAddress == identity->rootElement().attribute("IP").value()) {
        IdentityChecks::HoldMove(RUID, SUID, *onFile, state.PeerAddress, V);
      }
      return reply(modGlobalFunctions::kIdentityRefused);
    }
    const int32_t result = modGlobalFunctions::UpdateUserFromRemoteElement(RUID, V, true);
    return reply(result != 0 ? modGlobalFunctions::kIdentityStored
                             : modGlobalFunctions::kIdentityUnchanged);
  } catch (...) {
    logError("modCOMRequestedAction.ProcessUserIdentity");
    return reply(kGenericFailure);
  }
}

std::string ProcessListLocalUsers() {
  try {
    const std::string list = identityList(AccountData(LocalUser, ""), LocalUser);
    return reply(kRequestLocalUsers, "", list);
  } catch (...) {
    logError("modCOMRequestedAction.ProcessListLocalUsers");
    return reply(kGenericFailure);
  }
}

std::string ProcessGetUserDirectory(const XMLDocumentRef& request) {
  return forLocalAccount(request, "modCOMRequestedAction.ProcessGetUserDirectory", kGenericFailure,
                         [&](const std::string& RUID) {
    if (!optionsOf(RUID).ShareMyUserList) return reply(101100, RUID);
    return reply(kRequestUsersDirectory, RUID, identityList(AccountData(User, RUID), User));
  });
}

std::string ProcessDeliverMessage(const XMLDocumentRef& request, const ConnectionState& state) {
  return forLocalAccount(request, "modCOMRequestedAction.ProcessDeliverMessage", 101200,
                         [&](const std::string& RUID) {
    const std::string SUID = field(request, kActionSUID);
    if (!senderChecked(state, SUID, RUID)) return reply(kSenderRefused, RUID);
    const XMLDocumentRef message = clsGenXMLDocument::create();
    if (!message->load(field(request, kActionV)) || !isMessageOf(message->rootElement(), SUID)) {
      return reply(101200, RUID);
    }
    const pugi::xml_node element = message->rootElement();
    const std::string uid = element.attribute("UID").value();
    const std::string storedStatus =
        std::string_view(element.attribute("ST").value()) == kAutomaticReply ? kAutomaticReply
                                                                              : kReceivedUnread;
    {
      AccountData received(MessRec, RUID);
      if (received.row(uid) || AccountData(MessHist, RUID).row(uid)) {
        // Stored before and the reply was lost: answered again, nothing more.
        return reply(kRequestDeliverMessage, RUID);
      }
      received->AddRow(element);
      received->SetField(kMessageMT, 1);
      received->SetField(kMessageST, storedStatus);
      try {
        received->WriteXMLDoc();
      } catch (...) {
        // Not stored: when the sender tries again it arrives as a new message.
        received->Delete(false, kMessageUID, uid, false);
        throw;
      }
    }
    std::string senderName;
    try {
      const AccountData users(User, RUID);
      senderName = modGlobalFunctions::GetFieldValue(User, users.row(SUID), kFullName, false);
    } catch (...) {
      logError("modCOMRequestedAction.ProcessDeliverMessage");
    }
    // Deliveries of one turn share the sync; nobody hears of this one before.
    TurnCommit::after(nullptr, [message, RUID, uid, senderName, storedStatus](bool onDisk) {
      if (!onDisk) {
        forgetReceived(RUID, uid);
        return;
      }
      announceArrival(message->rootElement(), RUID, senderName, storedStatus);
    });
    return reply(kRequestDeliverMessage, RUID);
  });
}

std::string ProcessGetUserInfo(const XMLDocumentRef& request) {
  return forLocalAccount(request, "modCOMRequestedAction.ProcessGetUserInfo", 101300,
                         [&](const std::string& RUID) {
    const AccountData accounts(LocalUser, "");
    const pugi::xml_node account = accounts.row(RUID);
    if (!account) return reply(101300, RUID);
    XMLDocumentRef info;
    modGenFunctionsXML::XMLInitDocument(info, "R", true);
    modLocalUserFunctions::BuildUserIdentityElement(LocalUser, account, info->rootElement());
    return reply(kRequestUserInformation, RUID, modGenFunctionsXML::XMLToString(info->rootElement()));
  });
}

std::string ProcessMessageStatus(const XMLDocumentRef& request, const ConnectionState& state) {
  return forLocalAccount(request, "modCOMRequestedAction.ProcessMessageStatus", kGenericFailure,
                         [&](const std::string& RUID) {
    const std::string SUID = field(request, kActionSUID);
    const std::string OUID = field(request, kActionOUID);
    // A recipient tells only that he opened the message; any other status
    // is the sender's own business.
    if (modGenFunctions::ParseWholeNumber(field(request, kActionV)) != kOpened || SUID.empty() || OUID.empty()) {
      return reply(kRequestMessageStatus, RUID);
    }
    if (addressElsewhere(RUID, SUID, state)) return reply(kGenericFailure, RUID);
    // A sent message moved to the history still learns that it was opened.
    for (const int32_t classType : {MessSent, MessHist}) {
      const AccountData messages(classType, RUID);
      if (!messages.row(OUID)) continue;
      modCOMFunctions::UpdateRecipientStatus(OUID, SUID, kOpened, &*messages,
                                             modCOMFunctions::StatusSave::kDurable);
      break;
    }
    return reply(kRequestMessageStatus, RUID);
  });
}

std::string ProcessRecallMessage(const XMLDocumentRef& request, const ConnectionState& state) {
  return forLocalAccount(request, "modCOMRequestedAction.ProcessRecallMessage", 101500,
                         [&](const std::string& RUID) {
    const std::string SUID = field(request, kActionSUID);
    const std::string OUID = field(request, kActionOUID);
    if (SUID.empty() || OUID.empty()) return reply(kRequestRecallMessage, RUID);
    if (addressElsewhere(RUID, SUID, state)) return reply(101500, RUID);
    // Deletes the message from `messages` when SUID sent it; true when
    // the message was there, whoever sent it. A message not found may have
    // gone only in memory (the disk refused an earlier recall's save): the
    // answer waits for whatever the collection holds unsaved.
    const auto recall = [&](int32_t classType) {
      const AccountData messages(classType, RUID);
      const pugi::xml_node row = messages.row(OUID);
      if (!row) {
        messages->SaveXMLDoc();
        return false;
      }
      if (SUID == row.attribute("SD").value()) {
        messages->Delete(false, kMessageUID, OUID, true);
        if (classType == MessRec && isLoggedIn(RUID)) {
          try {
            MessageCenterServices::SynchronizeDisplays(MessageCenterServices::kReceivedDisplay,
                                                       false);
          } catch (...) {
            logError("modCOMRequestedAction.ProcessRecallMessage");
          }
        }
      }
      return true;
    };
    if (!recall(MessRec)) recall(MessHist);
    return reply(kRequestRecallMessage, RUID);
  });
}

std::string ProcessFileOffer(const XMLDocumentRef& request, ConnectionState& state) {
  return forLocalAccount(request, "modCOMRequestedAction.ProcessFileOffer", kGenericFailure,
                         [&](const std::string& RUID) {
    const std::string SUID = field(request, kActionSUID);
    if (!senderChecked(state, SUID, RUID)) return reply(kSenderRefused, RUID);
    if (state.FileOffered) return reply(kGenericFailure, RUID);
    const std::vector<std::string> items =
        modGenFunctionsString::splitText(field(request, kActionV), "||");
    const auto subFolder = modFileTransfer::OfferedSubFolder(items.size() > 1 ? items[1] : "");
    if (items.empty() || !subFolder) return reply(kGenericFailure, RUID);
    std::string folder;
    for (const std::string& level : *subFolder) folder += (folder.empty() ? "" : "/") + level;
    state.IncomingFileName = modFileTransfer::ReceivedFileName(items[0]);
    state.TargetFolder = folder;
    state.Phase = kMessagePhase;
    state.SenderUID = SUID;
    state.RecipientUID = RUID;
    state.IsLastChunk = false;
    state.FileOffered = true;
    return reply(kRequestOfferFiles, RUID);
  });
}

}  // namespace modCOMRequestedAction
