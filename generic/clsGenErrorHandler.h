#pragma once
// clsGenErrorHandler: the one place every trapped error is reported. It holds no
// state, never raises, and decides nothing about recovery: the trap that called
// it either raises the error again (raiseAgain) or ends it (endError).
//
// A trap is written as
//   try { ... } catch (...) { raiseAgain("clsGenObject.ClassOwner"); }
// or, in an event handler, timer tick, socket callback, slot or property,
//   try { ... } catch (...) { endError("frmLogin.cmdOK_Click"); }
#include <cstddef>
#include <functional>
#include <string>

#include "TvrError.h"

class clsGenErrorHandler {
 public:
  // Acknowledges an error: sets `handled` to True (-1) and, when writeLog is
  // not 0, appends one line to the error log. Drops every error of its own.
  void HandleError(int number, const std::string& source, const std::string& description,
                   int writeLog, int withTimeStamp, int helpContext,
                   const std::string& helpFile, int lastDllError, int& handled);

  // Appends one error-log line to TVRLOG.DAT in the common data folder,
  // dropping its oldest lines when it would grow past kMaxErrorLogBytes (a
  // peer that provokes errors again and again cannot fill the disk).
  // Raises its own errors (HandleError drops them).
  static constexpr std::size_t kMaxErrorLogBytes = 1 << 20;
  void WriteErrorLog(const std::string& trail, int number, const std::string& description,
                     int withTimeStamp);
};

// The one global handler, created on first use.
clsGenErrorHandler& GenErrorHandler();

// One error-log line: optional "yyyy-mm-dd hh:mm:ss ", the trail, " ", the
// number with its sign position and a blank (left out for 0), the description.
std::string formatErrorLogLine(const std::string& trail, int number,
                               const std::string& description, bool withTimeStamp);

// The error being handled in the current catch block as a TvrError
// (other exceptions are mapped to the matching error numbers).
TvrError currentError();

// Reports the current error with `where` put before its source, then raises
// that error again. Call only inside a catch block.
[[noreturn]] void raiseAgain(const char* where);

// Reports the current error with `where` put before its source and ends it.
// Call only inside a catch block.
void endError(const char* where);
// The same, and appends the error to the error log: for the paths that a
// peer or a timer drives, where no message box may be shown.
void logError(const char* where);

// Tells the person of something that went wrong without a message box: one
// line in the error log under `where`, and an entry in the events list when
// the program shows one. Never raises.
void ReportEvent(const char* where, const std::string& text);

// Where ReportEvent's entries are shown (empty: nowhere but the error log).
// The boxes that unattended work asks for (platform::UnattendedScope) are
// reported the same way from then on.
void SetEventsList(std::function<void(const std::string&)> eventsList);
