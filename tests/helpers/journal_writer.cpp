// journal_writer: makes numbered changes to one account's groups file
// durable, one save each, for tests that kill it at any moment. It uses the
// account "JOURNAL" of $TAVINOR_DATA_ROOT (created when missing) and folds
// the file's journal whenever it passes $TAVINOR_JOURNAL_BOUND bytes.
//
//   journal_writer FIRST
//       applies the steps FIRST, FIRST+1 ... (JournalSteps.h) and saves after
//       each; prints "saved I" once step I is durable, and runs until killed
//
// Any other use, or a failure, exits 1.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "DataJournal.h"
#include "HelperAccount.h"
#include "JournalSteps.h"
#include "MessageBox.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 2) {
    std::fputs("usage: journal_writer FIRST\n", stderr);
    return 1;
  }
  try {
    platform::setMessageBoxResponder(platform::unattendedResponder("journal_writer"));
    std::optional<DataJournal::FoldBound> foldBound;
    if (const char* bound = std::getenv("TAVINOR_JOURNAL_BOUND")) {
      foldBound.emplace(std::strtoull(bound, nullptr, 10));
    }
    modGlobalVariables::InitGlobalVariables();
    modGenFunctionsResource::LoadResourceFile(1);
    const std::string account = logInHelperAccount("JOURNAL");
    const modGlobalFunctions::GenObjectRef groups =
        modGlobalFunctions::GetUserDataObject(modGlobalVariables::Group, account, true);
    for (int step = std::atoi(argv[1]);; ++step) {
      JournalSteps::apply(*groups, step);
      groups->SaveXMLDoc();
      std::printf("saved %d\n", step);
      std::fflush(stdout);
    }
  } catch (...) {
    std::fputs("journal_writer: failed\n", stderr);
    return 1;
  }
}
