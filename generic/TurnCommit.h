#pragma once
// TurnCommit: the group commit of the data files' journals. Saves made
// without a sync (clsGenObject::WriteXMLDoc) in one turn of the event loop
// share one sync per journal, taken when the turn's work is done, so that a
// turn that stores many changes costs a few syncs instead of one each.
//
// Whatever must not happen before written changes are on disk (answering a
// peer that they are stored, contacting a peer for a stored action, telling
// a person) is handed to after(). Work runs in the order handed over, once
// every change written before it was handed over is on disk. When a sync
// fails, what was written may be lost: the work is told so and must act as
// if it had not been stored (take it back, answer nothing).
//
// Work runs unattended (no message box); an error that escapes it is logged
// and the other work still runs. UI thread only.
#include <QObject>
#include <functional>

namespace TurnCommit {

// Runs `work` once everything written so far without a sync is on disk:
// at once when nothing waits for a sync (onDisk true), otherwise after the
// commit at the end of this turn, or an earlier now(). `context`, when not
// null, must still exist then, or the work is dropped.
void after(QObject* context, std::function<void(bool onDisk)> work);

// Whether work waits for a commit.
bool pending();

// Commits at once: syncs every journal written without a sync, then runs
// the waiting work. Raises the sync's error (TvrError) when one failed,
// after the work has run told so.
void now();

// Drops the waiting work, as the end of the process would; for tests, so
// that what one leaves never runs in the next.
void resetProcessState();

}  // namespace TurnCommit
