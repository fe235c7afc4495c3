#include "ProgramTestEnvironment.h"

#include "clsActionManager.h"

#include <QDir>
#include <cstdlib>
#include <filesystem>
#include <pugixml.hpp>

#include "PoolLoan.h"
#include "StoredText.h"
#include "clsApplicationSetting.h"
#include "modGenFunctionsFile.h"
#include "modGlobalFunctions.h"
#include "modGenFunctionsResource.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace fs = std::filesystem;

ProgramTestEnvironment::ProgramTestEnvironment() {
  install();
  modGenFunctionsResource::loadResourceFileFrom(
      shippedFile(modGenFunctionsResource::kResourceFileName));
}

ProgramTestEnvironment::ProgramTestEnvironment(std::string_view resourceText) {
  install();
  modGenFunctionsResource::loadResourceText(std::string(resourceText));
}

void ProgramTestEnvironment::install() {
  const std::string base = root();
  dataRoot_ = std::make_unique<ScopedEnv>("TAVINOR_DATA_ROOT", dataFolder().c_str());
  home_ = std::make_unique<ScopedEnv>("HOME", (base + "/home").c_str());
  configHome_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", (base + "/home/.config").c_str());
  registry_ =
      std::make_unique<ScopedEnv>("TAVINOR_REGISTRY_FILE", (base + "/registry.json").c_str());
  QDir().mkpath(QString::fromStdString(documentsFolder()));
  ApplicationSetting.reset();
  modGlobalVariables::InitGlobalVariables();
  modGlobalVariables::CurrentLocalUserUID.clear();
  modLocalUserFunctions::LocalUserOptions = {};
}

ProgramTestEnvironment::~ProgramTestEnvironment() {
  ReleaseActionManager();
  ApplicationSetting.reset();
  modGlobalVariables::CurrentLocalUserUID.clear();
  modGlobalVariables::InitGlobalVariables();
}

std::string ProgramTestEnvironment::root() const { return dir_.path().toStdString(); }
std::string ProgramTestEnvironment::dataFolder() const { return root() + "/data"; }
std::string ProgramTestEnvironment::documentsFolder() const { return root() + "/home/Documents"; }

std::string ProgramTestEnvironment::addAccount(const std::string& userName,
                                               const std::string& password,
                                               const std::string& firstName,
                                               const std::string& lastName) {
  using namespace modLocalUserFunctions;
  PoolLoan accounts(modGlobalVariables::LocalUser);
  const std::string uid = accounts->CreateNewRow(true, kLocalUserUID);
  accounts->SetField(kLocalUserUN, userName);
  accounts->SetField(kLocalUserPA, userName);
  accounts->SetField(kLocalUserPW, password);
  accounts->SetField(kLocalUserFN, firstName);
  accounts->SetField(kLocalUserLN, lastName);
  accounts->SetField(kLocalUserCS, 1);
  accounts->AddCurrentRow();
  accounts->SaveXMLDoc();
  return uid;
}

void ProgramTestEnvironment::addPerson(const std::string& owner, const std::string& uid,
                                       const std::string& cs, const std::string& lastName,
                                       const std::string& firstName, const std::string& address) {
  const auto users = modGlobalFunctions::GetUserDataObject(modGlobalVariables::User, owner, true);
  users->CreateNewRow(false, 0);
  users->SetFields({0, 1, 2, 3, 7}, {uid, cs, lastName, firstName, address});
  users->AddCurrentRow();
  users->SaveXMLDoc();
}

std::string ProgramTestEnvironment::groupsInFile(const std::string& path) {
  pugi::xml_document document;
  if (!document.load_string(storedText(path, true).c_str())) return {};
  std::string rows;
  for (const pugi::xml_node group : document.document_element().children("G")) {
    rows += std::string(group.attribute("N").value()) + ":";
    for (const pugi::xml_node member : group.children("U")) {
      rows += std::string(member.attribute("UID").value()) + ",";
    }
    rows += ";";
  }
  return rows;
}

std::string ProgramTestEnvironment::accountField(const std::string& uid, int32_t field) {
  PoolLoan accounts(modGlobalVariables::LocalUser);
  return accounts->GetRowFieldByKey(modLocalUserFunctions::kLocalUserUID, uid, field, false);
}

std::string ProgramTestEnvironment::shippedFile(const char* name) {
  const char* binaryDir = std::getenv("TAVINOR_TEST_BINARY_DIR");
  return (fs::path(binaryDir ? binaryDir : ".") / "app" / "Res" / name).string();
}
