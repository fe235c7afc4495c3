#include "modCOMExecuteAction.h"

#include "UsersAndOptionsServices.h"
#include "clsGenErrorHandler.h"
#include "modCOMFunctions.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace modCOMExecuteAction {
namespace {

constexpr int32_t kResponseCO = 6;
constexpr int32_t kRecalled = 400;
constexpr int32_t kDelivered = 50;

std::string content(const XMLDocumentRef& reply) {
  return modGlobalFunctions::GetFieldValue(modGlobalVariables::Response, reply->rootElement(),
                                           kResponseCO, false);
}

// The list of identity elements cut to its first kMaxUsersFromOneReply.
std::string boundedUserList(const std::string& list) {
  const XMLDocumentRef users = clsGenXMLDocument::create();
  if (list.empty() || !users->load(list)) return list;
  int count = 0;
  pugi::xml_node element = users->rootElement().first_child();
  while (element) {
    const pugi::xml_node next = element.next_sibling();
    if (++count > kMaxUsersFromOneReply) users->rootElement().remove_child(element);
    element = next;
  }
  if (count <= kMaxUsersFromOneReply) return list;
  return modGenFunctionsXML::XMLToString(users->rootElement());
}

void toSearch(const XMLDocumentRef& reply) {
  UsersAndOptionsServices::AddFoundUsersToList(boundedUserList(content(reply)));
}

}  // namespace

void ExecuteResponse1000(const XMLDocumentRef& reply) {
  try {
    toSearch(reply);
  } catch (...) {
    raiseAgain("modCOMExecuteAction.ExecuteResponse1000");
  }
}

void ExecuteResponse1100(const XMLDocumentRef& reply) {
  try {
    toSearch(reply);
  } catch (...) {
    raiseAgain("modCOMExecuteAction.ExecuteResponse1100");
  }
}

void ExecuteResponse1200(const std::string& messageUID, const std::string& recipientUID) {
  try {
    modCOMFunctions::UpdateRecipientStatus(messageUID, recipientUID, kDelivered, nullptr,
                                           modCOMFunctions::StatusSave::kWritten);
  } catch (...) {
    raiseAgain("modCOMExecuteAction.ExecuteResponse1200");
  }
}

int32_t ExecuteResponse1300(const XMLDocumentRef& reply, const std::string& ownerUID,
                            const std::string& expectedUID) {
  try {
    const std::string identity = modLocalUserFunctions::IdentityElementText(content(reply));
    const XMLDocumentRef element = clsGenXMLDocument::create();
    if (expectedUID.empty() || !element->load(identity) ||
        expectedUID != element->rootElement().attribute("UID").value()) {
      return 0;
    }
    return modGlobalFunctions::UpdateUserFromRemoteElement(ownerUID, identity, true);
  } catch (...) {
    raiseAgain("modCOMExecuteAction.ExecuteResponse1300");
  }
}

void ExecuteResponse1500(const std::string& messageUID, const std::string& recipientUID) {
  try {
    modCOMFunctions::UpdateRecipientStatus(messageUID, recipientUID, kRecalled, nullptr,
                                           modCOMFunctions::StatusSave::kWritten);
  } catch (...) {
    raiseAgain("modCOMExecuteAction.ExecuteResponse1500");
  }
}

}  // namespace modCOMExecuteAction
