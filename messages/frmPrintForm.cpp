#include "frmPrintForm.h"

#include "clsGenErrorHandler.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctionsFile.h"

std::string frmPrintForm::LoadPrintTemplate() {
  try {
    const auto file = modGenApplicationSetting::GetFileSourceFolder(
        modGenApplicationSetting::kPrintTemplate);
    return modGenFunctionsFile::ReadFileContent(file.FullPath, true);
  } catch (...) {
    raiseAgain("frmPrintForm.LoadPrintTemplate");
  }
}
