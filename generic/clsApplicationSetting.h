#pragma once
// clsApplicationSetting: the settings that belong to the machine rather than
// to an account, as named text values in the settings document D000.Dat of
// the common data folder (stored enciphered).
//
// The document's root element and its declaration of the prefix "TVR" come
// from the shipped template, which the start-up copies into the data folder;
// this class never creates a root. Each setting is one child element of the
// root named "TVR:P" whose attribute "NAME" holds the key (compared exactly,
// case included; any text is a valid key) and whose text is the value.
//
// Creation reads the file; changes stay in memory until destruction writes
// the whole document back with fresh cipher keys. A missing file gives no
// document: look-ups and stores then raise 91, and destruction creates no
// file (the start-up copies the template into place instead). A file that
// holds no settings document (empty, cut short, not XML) is replaced by the
// template's defaults: its bytes are kept beside it as
// "D000.Dat.bad-<yyyyMMdd-hhmmss>" and the events list and the error log
// name that copy (ReportEvent).
//
// Errors: GetAppSetting, SaveAppSetting and AddAppSettingNode report under
// "clsApplicationSetting.<Member>" and raise again; creation and destruction
// report and end their errors. Not copyable; UI thread only.
#include <memory>
#include <string>

#include "clsGenXMLDocument.h"
#include "modGenApplicationSetting.h"

class clsApplicationSetting {
 public:
  // Element name of every setting (prefix "TVR", local name "P") and its key attribute.
  static constexpr const char* kSettingElement = "TVR:P";
  static constexpr const char* kNameAttribute = "NAME";

  clsApplicationSetting();
  ~clsApplicationSetting();
  clsApplicationSetting(const clsApplicationSetting&) = delete;
  clsApplicationSetting& operator=(const clsApplicationSetting&) = delete;

  // The prefix of the element names that look-ups match ("TVR" in this
  // program). Look-ups raise 5 while it is empty.
  void SetXMLAppNameSpace(const std::string& prefix) { prefix_ = prefix; }

  // The text of the first setting named `name`; defaultValue when there is none.
  std::string GetAppSetting(const std::string& name, const std::string& defaultValue = {});
  // Changes the first setting named `name` in place, or appends a new one.
  void SaveAppSetting(const std::string& name, const std::string& value);
  // Appends a new "TVR:P" setting (whatever the prefix) as the root's last child.
  void AddAppSettingNode(const std::string& name, const std::string& value);

 private:
  pugi::xml_node requireRoot() const;
  pugi::xml_node findSetting(const std::string& name) const;
  void setText(pugi::xml_node element, const std::string& value);
  void startFromTemplate(const modGenApplicationSetting::FileSourceInfo& file,
                         const std::string& bytes);
  void writeBack();

  XMLDocumentRef document_;
  std::string prefix_;
};

// The program's one settings object: created by the start-up after the
// required-file check, destroyed (which writes D000.Dat) at shut-down.
extern std::unique_ptr<clsApplicationSetting> ApplicationSetting;
