// Feeds arbitrary text as a person's identity element received from a peer
// into the users directory of the one local account. A stored identity must
// read back from the saved directory with the element's values, and the
// directory file must always load back whole: a load that finds it damaged keeps a
// ".bad-" copy beside it, which the harness treats as a finding, as it does
// any error raised (bad text is refused by a result, never by an error).
// Every input meets the directory as set up (one account, nobody in it).
#include <cstdlib>
#include <memory>

#include "FuzzSupport.h"
#include "MessageCenterServices.h"
#include "clsGenObject.h"
#include "modGenFunctionsResource.h"
#include "modGenFunctionsXML.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

std::string& ownerUID() {
  static std::string uid;
  return uid;
}

std::unique_ptr<InstallationSnapshot>& startingInstallation() {
  static std::unique_ptr<InstallationSnapshot> snapshot;
  return snapshot;
}

// The row of the element's "UID" holds each attribute the element carries,
// the element read as the program reads a peer's text (UTF-8, whatever a
// byte-order mark at its start says).
void requireStored(const clsGenObject& directory, const std::string& text) {
  XMLDocumentRef received;
  if (!modGenFunctionsXML::XMLLoadFromString(received, text)) std::abort();
  const pugi::xml_node element = received->rootElement();
  const pugi::xml_node row =
      directory.XMLDocLinked()->firstRowWhere("U", "UID", element.attribute("UID").value());
  if (!row) std::abort();
  for (const char* name : {"LN", "FN", "IP", "CN"}) {
    const pugi::xml_attribute sent = element.attribute(name);
    if (sent && std::string(row.attribute(name).value()) != sent.value()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const ProgramTestEnvironment& environment = startFuzzProgram();
  modGenFunctionsResource::loadResourceText(
      "|[MESSAGES]|\r\nMSG20510=%% was added.\r\nMSG30001=%% was updated.\r\n"
      "MSG30002=%% is unchanged.\r\nMSG20535=Unknown user\r\n");
  // The events list that a logged update writes to.
  MessageCenterServices::Install(
      {[](int32_t, const std::string&, int32_t, const std::string&, const std::string&) {}, [] {}});
  ownerUID() = ProgramTestEnvironment::addAccount("FUZZ", "secret", "Fuzz", "Owner");
  startingInstallation() = std::make_unique<InstallationSnapshot>(environment.root());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  startingInstallation()->restore();
  // Every other input arrives while the owner is logged in (the pooled
  // directory), the rest for an owner who is not (a private collection).
  modGlobalVariables::CurrentLocalUserUID = size % 2 == 0 ? ownerUID() : std::string();
  const std::string text = fuzzText(data, size);
  const int32_t result =
      modGlobalFunctions::UpdateUserFromRemoteElement(ownerUID(), text, size % 3 == 0);
  const auto directory =
      modGlobalFunctions::GetUserDataObject(modGlobalVariables::User, ownerUID(), true);
  directory->LoadXMLDoc(true);
  if (result == modGlobalFunctions::kIdentityStored) requireStored(*directory, text);
  require(!damagedCopyKept(qEnvironmentVariable("TAVINOR_DATA_ROOT").toStdString()));
  return 0;
}
