#pragma once
// TestDataFolder: a fresh common data folder for one test, with the global
// tables initialised, the resource texts that data files and field values
// show, and local accounts to own per-user files.
//
// The accounts live in D001.dat; `addAccount` writes one row and returns its
// UID, `logIn` makes an account the logged-in one. The pools are emptied on
// construction; the logged-in account is cleared on destruction.
#include <QFile>
#include <QTemporaryDir>
#include <string>

#include "ScopedEnvironment.h"
#include "clsGenObject.h"
#include "modGenFunctionsFile.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

class TestDataFolder {
 public:
  static constexpr const char* kResourceText =
      "|[MESSAGES]|\r\n"
      "MSG50101=This data file belongs to another user.\r\n"
      "MSG20535=(unknown)\r\n"
      "|[MESSAGE PRIORITY OPTIONS]|\r\n1=Normal\r\n2=Urgent\r\n"
      "|[MESSAGE STATUS]|\r\n-1=Automatic reply\r\n60=Not opened\r\n100=Opened\r\n"
      "|[ACTION TYPE]|\r\n1200=Send a message\r\n"
      "|[ACTION STATUS]|\r\n1=Waiting\r\n"
      "|[INSTMESSTYPE LIST]|\r\n1=Greetings\r\n";

  TestDataFolder() : env_("TAVINOR_DATA_ROOT", dir_.path().toUtf8().constData()) {
    modGlobalVariables::InitGlobalVariables();
    modGlobalVariables::CurrentLocalUserUID.clear();
    modGenFunctionsResource::loadResourceText(kResourceText);
  }
  ~TestDataFolder() { modGlobalVariables::CurrentLocalUserUID.clear(); }
  TestDataFolder(const TestDataFolder&) = delete;
  TestDataFolder& operator=(const TestDataFolder&) = delete;

  std::string root() const { return dir_.path().toStdString(); }
  std::string path(const std::string& relative) const { return root() + "/" + relative; }

  // Adds an account row with data folder `folder` (empty: none) to D001.dat.
  std::string addAccount(const std::string& folder, const std::string& firstName = "Ann",
                         const std::string& lastName = "Smith") {
    auto accounts = modGlobalFunctions::GetPoolObj(modGlobalVariables::LocalUser, true);
    const std::string uid = accounts->CreateNewRow(true, 0);
    accounts->SetField(9, folder);
    accounts->SetField(3, firstName);
    accounts->SetField(4, lastName);
    accounts->AddCurrentRow();
    accounts->SaveXMLDoc();
    modGlobalFunctions::ReleasePoolObj(accounts);
    return uid;
  }
  std::string logIn(const std::string& folder) {
    modGlobalVariables::CurrentLocalUserUID = addAccount(folder);
    return modGlobalVariables::CurrentLocalUserUID;
  }

  std::string raw(const std::string& relative) const {
    QFile file(QString::fromStdString(path(relative)));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : "<missing>";
  }
  // Writes the file's bytes as they are, creating its folder.
  void writeRaw(const std::string& relative, const std::string& bytes) const {
    const std::string full = path(relative);
    modGenFunctionsFile::CreateFolderPath(full.substr(0, full.rfind('/')));
    modGenFunctionsFile::SaveFileContent("", full, bytes, false);
  }
  std::string deciphered(const std::string& relative) const {
    return modGenFunctionsFile::ReadFileContent(path(relative), true);
  }

 private:
  QTemporaryDir dir_;
  ScopedEnv env_;
};
