#pragma once
// The desktop shell: opening a link, file or folder with its default
// program, and showing a folder in the file manager (xdg-open through
// QDesktopServices). Tests install a recorder instead, so nothing is ever
// started by a test run.
#include <functional>
#include <string>

namespace platform::shell {

enum class Verb { kOpen, kExplore };

struct ShellRequest {
  Verb verb = Verb::kOpen;
  std::string target;  // a URL ("http://...", "mailto:...") or a local path
};

// Answers whether the shell took the request.
using ShellRecorder = std::function<bool(const ShellRequest&)>;

// The default action on `target`: a URL as it is, anything else as a local
// path. False when the shell could not open it.
bool open(const std::string& target);
// Shows the folder `path` in the file manager. False when it could not.
bool explore(const std::string& path);

// Replaces the shell by `recorder` until reset with an empty function.
void setShellRecorder(ShellRecorder recorder);

}  // namespace platform::shell
