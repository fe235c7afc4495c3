#include "TurnCommit.h"

#include <QPointer>
#include <deque>
#include <exception>
#include <utility>

#include "DataJournal.h"
#include "MessageBox.h"
#include "TimerControl.h"
#include "clsGenErrorHandler.h"

namespace TurnCommit {
namespace {

struct Waiting {
  bool hasContext;
  QPointer<QObject> context;
  std::function<void(bool)> work;
};

std::deque<Waiting>& waiting() {
  static std::deque<Waiting> work;
  return work;
}

bool armed = false;

// What the commit at the end of the turn is posted to; lives as long as the program.
QObject& anchor() {
  static QObject* const object = new QObject;
  return *object;
}

// Runs the work that waited for the commit just made, and only that: work
// handed over meanwhile waits for the next commit.
void runWaiting(bool onDisk) {
  std::deque<Waiting> batch;
  batch.swap(waiting());
  const platform::UnattendedScope unattended;
  for (Waiting& next : batch) {
    if (next.hasContext && next.context.isNull()) continue;
    try {
      next.work(onDisk);
    } catch (...) {
      logError("TurnCommit.after");
    }
  }
}

void commitAtTurnEnd() {
  armed = false;
  try {
    now();
  } catch (...) {
    logError("TurnCommit.commit");
  }
}

}  // namespace

void after(QObject* context, std::function<void(bool onDisk)> work) {
  if (waiting().empty() && !DataJournal::anyWritten()) {
    const platform::UnattendedScope unattended;
    try {
      work(true);
    } catch (...) {
      logError("TurnCommit.after");
    }
    return;
  }
  waiting().push_back({context != nullptr, context, std::move(work)});
  if (armed) return;
  armed = true;
  platform::TimerControl::NextTurn(&anchor(), commitAtTurnEnd);
}

bool pending() { return !waiting().empty(); }

void resetProcessState() { waiting().clear(); }

void now() {
  std::exception_ptr failure;
  try {
    DataJournal::flushWritten();
  } catch (...) {
    failure = std::current_exception();
  }
  runWaiting(!failure);
  if (failure) std::rethrow_exception(failure);
}

}  // namespace TurnCommit
