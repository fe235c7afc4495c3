#include "clsGenErrorHandler.h"

#include <exception>
#include <new>

#include "Clock.h"
#include "MessageBox.h"
#include "modGenApplicationSetting.h"
#include "modGenFunctionsFile.h"

namespace {

void report(const TvrError& error) {
  int handled = 0;
  GenErrorHandler().HandleError(error.number(), error.source(), error.description(), 0, -1,
                                error.helpContext(), error.helpFile(), 0, handled);
}

std::function<void(const std::string&)>& eventsList() {
  static std::function<void(const std::string&)> instance;
  return instance;
}

}  // namespace

clsGenErrorHandler& GenErrorHandler() {
  static clsGenErrorHandler instance;
  return instance;
}

void clsGenErrorHandler::HandleError(int number, const std::string& source,
                                     const std::string& description, int writeLog,
                                     int withTimeStamp, int /*helpContext*/,
                                     const std::string& /*helpFile*/, int /*lastDllError*/,
                                     int& handled) {
  handled = -1;
  if (writeLog == 0) return;
  try {
    WriteErrorLog("-" + source + "->", number, description, withTimeStamp);
  } catch (...) {
    // Reporting never raises: a log that cannot be written is passed over.
  }
}

std::string formatErrorLogLine(const std::string& trail, int number,
                               const std::string& description, bool withTimeStamp) {
  std::string line;
  if (withTimeStamp) {
    line = platform::now().toString("yyyy-MM-dd hh:mm:ss").toStdString() + " ";
  }
  line += trail + " ";
  if (number != 0) line += (number < 0 ? "" : " ") + std::to_string(number) + " ";
  return line + description;
}

TvrError currentError() {
  try {
    throw;
  } catch (const TvrError& error) {
    return error;
  } catch (const std::bad_alloc&) {
    return TvrError(kErrOutOfMemory, "", "Out of memory");
  } catch (const std::out_of_range& error) {
    return TvrError(kErrSubscript, "", error.what());
  } catch (const std::overflow_error& error) {
    return TvrError(kErrOverflow, "", error.what());
  } catch (const std::exception& error) {
    return TvrError(kErrInvalidCall, "", error.what());
  } catch (...) {
    return TvrError(kErrInvalidCall, "", "Unknown error");
  }
}

void raiseAgain(const char* where) {
  const TvrError error = currentError().withSourcePrefix(where);
  report(error);
  throw error;
}

void endError(const char* where) { report(currentError().withSourcePrefix(where)); }

void logError(const char* where) {
  const TvrError error = currentError().withSourcePrefix(where);
  int handled = 0;
  GenErrorHandler().HandleError(error.number(), error.source(), error.description(), 1, 1, 0, "",
                                0, handled);
}

void clsGenErrorHandler::WriteErrorLog(const std::string& trail, int number,
                                       const std::string& description, int withTimeStamp) {
  try {
    const auto log =
        modGenApplicationSetting::GetFileSourceFolder(modGenApplicationSetting::kErrorLogFile);
    modGenFunctionsFile::AppendLineToFile(
        log.FolderPath, log.FileName,
        formatErrorLogLine(trail, number, description, withTimeStamp != 0), true, false,
        kMaxErrorLogBytes);
  } catch (...) {
    raiseAgain("clsGenErrorHandler.WriteErrorLog");
  }
}

void ReportEvent(const char* where, const std::string& text) {
  int handled = 0;
  GenErrorHandler().HandleError(0, where, text, 1, 1, 0, "", 0, handled);
  try {
    if (eventsList()) eventsList()(text);
  } catch (...) {
    endError("ReportEvent");
  }
}

void SetEventsList(std::function<void(const std::string&)> list) {
  eventsList() = std::move(list);
  platform::setNoticeSink(
      [](const platform::MessageBoxRequest& box) { ReportEvent("MessageBox", box.text); });
}
