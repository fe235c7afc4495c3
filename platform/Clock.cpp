#include "Clock.h"

#include <optional>

namespace platform {
namespace {
std::optional<QDateTime>& fixedTime() {
  static std::optional<QDateTime> instance;
  return instance;
}
}  // namespace

QDateTime now() { return fixedTime() ? *fixedTime() : QDateTime::currentDateTime(); }

void setFixedTime(const QDateTime& when) { fixedTime() = when; }

void advanceFixedTime(qint64 milliseconds) {
  if (fixedTime()) fixedTime() = fixedTime()->addMSecs(milliseconds);
}

void clearFixedTime() { fixedTime().reset(); }

}  // namespace platform
