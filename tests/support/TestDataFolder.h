#pragma once
// TestDataFolder: a fresh installation (ProgramTestEnvironment) whose
// resource texts are only those that data files and field values show, with
// helpers to read and write its data files and to add local accounts that
// own per-user files.
//
// The accounts live in D001.dat; `addAccount` writes one row whose data
// folder ("PA") is `folder` and returns its UID, `logIn` makes a new account
// the logged-in one.
#include <QFile>
#include <string>

#include "ProgramTestEnvironment.h"
#include "StoredText.h"
#include "modGenFunctionsFile.h"
#include "modGlobalVariables.h"

class TestDataFolder {
 public:
  static constexpr const char* kResourceText =
      "|[MESSAGES]|\r\n"
      "MSG50101=This data file belongs to another user.\r\n"
      "MSG50102=Damaged %% kept as %%\r\n"
      "MSG50103=Foreign %% kept as %%\r\n"
      "MSG50104=Accounts %% kept as %%\r\n"
      "MSG50112=Damaged journal %% kept as %%\r\n"
      "MSG50113=Foreign journal %% kept as %%\r\n"
      "MSG50114=Journal %% kept as %%\r\n"
      "MSG50115=Unproven journal %% kept as %%\r\n"
      "MSG50116=No journal at %% moved to %%\r\n"
      "MSG20535=(unknown)\r\n"
      "|[MESSAGE PRIORITY OPTIONS]|\r\n1=Normal\r\n2=Urgent\r\n"
      "|[MESSAGE STATUS]|\r\n-1=Automatic reply\r\n60=Not opened\r\n100=Opened\r\n"
      "|[ACTION TYPE]|\r\n1200=Send a message\r\n"
      "|[ACTION STATUS]|\r\n1=Waiting\r\n"
      "|[INSTMESSTYPE LIST]|\r\n1=Greetings\r\n";

  TestDataFolder() : environment_(kResourceText) {}

  std::string path(const std::string& relative) const {
    return environment_.dataFolder() + "/" + relative;
  }

  // Adds an account row with data folder `folder` (empty: none) to D001.dat.
  std::string addAccount(const std::string& folder, const std::string& firstName = "Ann",
                         const std::string& lastName = "Smith") {
    return ProgramTestEnvironment::addAccount(folder, "", firstName, lastName);
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
  // The rows stored for an enciphered data file (its journal replayed).
  std::string deciphered(const std::string& relative) const {
    return storedText(path(relative), true);
  }

 private:
  ProgramTestEnvironment environment_;
};
