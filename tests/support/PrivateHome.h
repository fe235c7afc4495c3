#pragma once
// PrivateHome: a fresh temporary home for a whole test process, set before
// anything else runs so that no test, and no program a test starts, can
// reach the real home, configuration, registry or data folder of whoever
// runs the tests. HOME, the XDG folders (configuration, data, cache, state
// and runtime), TAVINOR_DATA_ROOT and TAVINOR_REGISTRY_FILE point below one
// temporary folder, which is removed with the object. Tests that need a
// setting of their own (ProgramTestEnvironment, ScopedEnv) set it on top.
#include <QTemporaryDir>
#include <string>

class PrivateHome {
 public:
  PrivateHome();
  PrivateHome(const PrivateHome&) = delete;
  PrivateHome& operator=(const PrivateHome&) = delete;

  // False when the temporary folder could not be made; the process's
  // environment is then left unchanged and the tests must not run.
  bool ok() const { return ok_; }
  std::string root() const { return dir_.path().toStdString(); }

 private:
  QTemporaryDir dir_;
  bool ok_ = false;
};
