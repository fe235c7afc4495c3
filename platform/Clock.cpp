#include "Clock.h"

#include <QTimeZone>
#include <optional>

namespace platform {
namespace {
std::optional<QDateTime>& fixedTime() {
  static std::optional<QDateTime> instance;
  return instance;
}
// Local time through the C library checks the zone file at every call; a
// zone read once converts without touching the disk.
QDateTime systemNow() {
  static const QTimeZone zone = QTimeZone::systemTimeZone();
  if (!zone.isValid()) return QDateTime::currentDateTime();
  return QDateTime::fromMSecsSinceEpoch(QDateTime::currentMSecsSinceEpoch(), zone);
}
}  // namespace

QDateTime now() { return fixedTime() ? *fixedTime() : systemNow(); }

void setFixedTime(const QDateTime& when) { fixedTime() = when; }

void advanceFixedTime(qint64 milliseconds) {
  if (fixedTime()) fixedTime() = fixedTime()->addMSecs(milliseconds);
}

void clearFixedTime() { fixedTime().reset(); }

}  // namespace platform
