#include "ProgramTestEnvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdlib>
#include <filesystem>

#include "PoolLoan.h"
#include "clsApplicationSetting.h"
#include "modGenFunctionsResource.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace fs = std::filesystem;

ProgramTestEnvironment::ProgramTestEnvironment() {
  const std::string base = root();
  dataRoot_ = std::make_unique<ScopedEnv>("TAVINOR_DATA_ROOT", (base + "/data").c_str());
  home_ = std::make_unique<ScopedEnv>("HOME", (base + "/home").c_str());
  configHome_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", (base + "/home/.config").c_str());
  registry_ =
      std::make_unique<ScopedEnv>("TAVINOR_REGISTRY_FILE", (base + "/registry.json").c_str());
  QDir().mkpath(QString::fromStdString(base + "/home/Documents"));
  ApplicationSetting.reset();
  modGlobalVariables::InitGlobalVariables();
  modGlobalVariables::CurrentLocalUserUID.clear();
  modLocalUserFunctions::LocalUserOptions = {};
  modGenFunctionsResource::loadResourceFileFrom(
      shippedFile(modGenFunctionsResource::kResourceFileName));
}

ProgramTestEnvironment::~ProgramTestEnvironment() {
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

std::string ProgramTestEnvironment::shippedFile(const char* name) {
  const char* binaryDir = std::getenv("TAVINOR_TEST_BINARY_DIR");
  return (fs::path(binaryDir ? binaryDir : ".") / "app" / "Res" / name).string();
}

void ProgramTestEnvironment::provideResFolderBesideProgram() {
  const fs::path shipped = fs::path(shippedFile("")).parent_path();
  const fs::path target = fs::path(QCoreApplication::applicationDirPath().toStdString()) / "Res";
  if (fs::equivalent(shipped.parent_path(), target.parent_path())) return;
  fs::create_directories(target);
  for (const fs::directory_entry& entry : fs::directory_iterator(shipped)) {
    const fs::path destination = target / entry.path().filename();
    if (fs::exists(destination)) continue;
    // Copied under a temporary name and renamed, so a suite running at the
    // same time never reads half a file.
    const fs::path partial = target / ("." + entry.path().filename().string() + ".partial");
    fs::copy_file(entry.path(), partial, fs::copy_options::overwrite_existing);
    fs::rename(partial, destination);
  }
}
