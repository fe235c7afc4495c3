#include "MessageWindowsServices.h"

namespace MessageWindowsServices {
namespace {

Viewer& viewer() {
  static Viewer installed;
  return installed;
}

}  // namespace

void InstallViewer(Viewer installed) { viewer() = std::move(installed); }

void ShowViewer(bool modal, void* owner) {
  if (viewer().ShowForm) viewer().ShowForm(modal, owner);
}

void SetViewerSourceMessage(int32_t classType, const std::string& messageUID) {
  if (viewer().SetSourceMessage) viewer().SetSourceMessage(classType, messageUID);
}

}  // namespace MessageWindowsServices
