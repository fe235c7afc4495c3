// journal_writer: makes numbered changes to one account's groups file
// durable, for tests that kill it at any moment. It uses the account
// "JOURNAL" of $TAVINOR_DATA_ROOT (created when missing) and folds the
// file's journal whenever it passes $TAVINOR_JOURNAL_BOUND bytes.
//
//   journal_writer FIRST
//       applies the steps FIRST, FIRST+1 ... (JournalSteps.h), each with a
//       save of its own; prints "saved I" once step I is durable, and runs
//       until killed. The event loop turns after every save.
//
// $TAVINOR_FOLD_STEPS=N folds beside the event loop, N rows a step, however
// small the file. $TAVINOR_TURN_STEPS=K writes K steps a turn without a
// sync each, and prints "saved I" for the last of them once the turn's
// commit has put them on disk.
//
// Any other use, or a failure, exits 1.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "BackgroundFold.h"
#include "DataJournal.h"
#include "HelperAccount.h"
#include "JournalSteps.h"
#include "MessageBox.h"
#include "TurnCommit.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

void tellSaved(int step) {
  std::printf("saved %d\n", step);
  std::fflush(stdout);
}

}  // namespace

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
    std::optional<BackgroundFold::Threshold> inSteps;
    if (const char* rows = std::getenv("TAVINOR_FOLD_STEPS")) inSteps.emplace(0, std::strtoull(rows, nullptr, 10));
    const char* turnSteps = std::getenv("TAVINOR_TURN_STEPS");
    const int stepsPerTurn = turnSteps != nullptr ? std::atoi(turnSteps) : 0;
    modGlobalVariables::InitGlobalVariables();
    modGenFunctionsResource::LoadResourceFile(1);
    const std::string account = logInHelperAccount("JOURNAL");
    const modGlobalFunctions::GenObjectRef groups =
        modGlobalFunctions::GetUserDataObject(modGlobalVariables::Group, account, true);
    bool failed = false;
    for (int step = std::atoi(argv[1]); !failed; ++step) {
      JournalSteps::apply(*groups, step);
      if (stepsPerTurn <= 0) {
        groups->SaveXMLDoc();
        tellSaved(step);
      } else {
        groups->WriteXMLDoc();
        if ((step + 1) % stepsPerTurn == 0) {
          TurnCommit::after(nullptr, [step, &failed](bool onDisk) {
            if (onDisk) tellSaved(step);
            failed = failed || !onDisk;
          });
        }
      }
      QCoreApplication::processEvents();
    }
    std::fputs("journal_writer: a commit failed\n", stderr);
    return 1;
  } catch (...) {
    std::fputs("journal_writer: failed\n", stderr);
    return 1;
  }
}
