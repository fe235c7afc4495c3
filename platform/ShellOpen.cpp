#include "ShellOpen.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

namespace platform::shell {
namespace {

ShellRecorder& recorder() {
  static ShellRecorder installed;
  return installed;
}

bool hasScheme(const QString& target) {
  const QUrl url(target);
  // A one-letter scheme is a drive letter of a path, not a URL.
  return url.isValid() && url.scheme().size() > 1;
}

bool run(Verb verb, const std::string& target) {
  if (recorder()) return recorder()({verb, target});
  const QString text = QString::fromStdString(target);
  const QUrl url = verb == Verb::kOpen && hasScheme(text) ? QUrl(text) : QUrl::fromLocalFile(text);
  return QDesktopServices::openUrl(url);
}

}  // namespace

bool open(const std::string& target) { return run(Verb::kOpen, target); }

bool explore(const std::string& path) { return run(Verb::kExplore, path); }

void setShellRecorder(ShellRecorder installed) { recorder() = std::move(installed); }

}  // namespace platform::shell
