#include "RecordingMessageBox.h"

RecordingMessageBox::RecordingMessageBox(int fallback) : fallback_(fallback) {
  platform::setMessageBoxResponder([this](const platform::MessageBoxRequest& request) {
    shown_.push_back(request);
    if (answers_.empty()) return fallback_;
    const int result = answers_.front();
    answers_.pop_front();
    return result;
  });
}

RecordingMessageBox::~RecordingMessageBox() { platform::setMessageBoxResponder({}); }
