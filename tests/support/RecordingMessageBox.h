#pragma once
// Replaces the program's message box for the life of the object: records every
// box shown and answers with the queued results in order (then with `fallback`).
#include <deque>
#include <vector>

#include "MessageBox.h"

class RecordingMessageBox {
 public:
  explicit RecordingMessageBox(int fallback = platform::kMbResultOk);
  ~RecordingMessageBox();
  RecordingMessageBox(const RecordingMessageBox&) = delete;
  RecordingMessageBox& operator=(const RecordingMessageBox&) = delete;

  void answerNext(int result) { answers_.push_back(result); }
  const std::vector<platform::MessageBoxRequest>& shown() const { return shown_; }
  void clear() { shown_.clear(); }

 private:
  std::vector<platform::MessageBoxRequest> shown_;
  std::deque<int> answers_;
  int fallback_;
};
