#pragma once
// ProgramTestEnvironment: a fresh installation of the program for one test.
// A temporary folder holds the common data folder (TAVINOR_DATA_ROOT), the
// home folder (HOME, XDG_CONFIG_HOME; documents go to <home>/Documents) and
// the registry file; the record globals are initialised (which empties the
// pools), the resource texts loaded, nobody is logged in, no settings object
// exists and the options block is empty. Everything is put back on
// destruction.
#include <QTemporaryDir>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ScopedEnvironment.h"

class ProgramTestEnvironment {
 public:
  // With the shipped resource texts of the build.
  ProgramTestEnvironment();
  // With `resourceText` (the resource file's plain text) instead.
  explicit ProgramTestEnvironment(std::string_view resourceText);
  ~ProgramTestEnvironment();
  ProgramTestEnvironment(const ProgramTestEnvironment&) = delete;
  ProgramTestEnvironment& operator=(const ProgramTestEnvironment&) = delete;

  std::string root() const;
  std::string dataFolder() const;
  std::string documentsFolder() const;

  // Adds an account row (user name stored as given, "PA" the same) and saves
  // the accounts file; returns the new account's UID.
  static std::string addAccount(const std::string& userName, const std::string& password,
                                const std::string& firstName = {},
                                const std::string& lastName = {});
  // Puts a person (UID, "CS", last and first name, address) into the users
  // directory file of the account `owner`. Call it before the account's
  // pooled directory is loaded (a loaded pool does not see it).
  static void addPerson(const std::string& owner, const std::string& uid, const std::string& cs,
                        const std::string& lastName, const std::string& firstName,
                        const std::string& address);
  // The groups of the enciphered groups file `path` as "name:member,member;"
  // (nothing for a missing or unreadable file).
  static std::string groupsInFile(const std::string& path);
  // `field` of the account row `uid`, "" when there is none.
  static std::string accountField(const std::string& uid, int32_t field);

  // A shipped file of the build's Res folder.
  static std::string shippedFile(const char* name);

 private:
  void install();

  QTemporaryDir dir_;
  std::unique_ptr<ScopedEnv> dataRoot_;
  std::unique_ptr<ScopedEnv> home_;
  std::unique_ptr<ScopedEnv> configHome_;
  std::unique_ptr<ScopedEnv> registry_;
};
