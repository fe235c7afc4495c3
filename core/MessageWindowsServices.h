#pragma once
// MessageWindowsServices: what the messaging core asks of the message
// windows, without knowing them. The message viewer installs its part when
// it is created; while nothing is installed the calls do nothing.
//
// UI thread only.
#include <cstdint>
#include <functional>
#include <string>

namespace MessageWindowsServices {

struct Viewer {
  // (modal, owner window or null): restores the viewer when minimised and shows it.
  std::function<void(bool, void*)> ShowForm;
  // (record class 3, 4 or 5, message UID): displays that message.
  std::function<void(int32_t, const std::string&)> SetSourceMessage;
};

void InstallViewer(Viewer viewer);

void ShowViewer(bool modal, void* owner);
void SetViewerSourceMessage(int32_t classType, const std::string& messageUID);

}  // namespace MessageWindowsServices
