#pragma once
// The program's clock. Every procedure that asks for the current date and time
// asks here, so tests can fix or move time without waiting.
#include <QDateTime>

namespace platform {

// The current local date and time: the system clock in the system's time
// zone as it was when first asked (a zone changed later counts from the
// next start), or the fixed time set by a test.
QDateTime now();

// Fixes the clock at `when` until clearFixedTime(); advance() moves a fixed clock.
void setFixedTime(const QDateTime& when);
void advanceFixedTime(qint64 milliseconds);
void clearFixedTime();

}  // namespace platform
