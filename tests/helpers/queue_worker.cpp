// queue_worker: one copy's action queue without its windows, for tests that
// kill it at any moment. It uses the account "QUEUE" of $TAVINOR_DATA_ROOT
// (created when missing, password "pw") and the shipped resource texts of
// the Res folder beside it.
//
//   queue_worker seed N PEER_ADDRESS
//       queues N message deliveries (type 1200) to PEER_ADDRESS, writes the
//       store, prints "seeded N" and exits 0
//   queue_worker run
//       works the queue off: prints "ready" once the queue runs, "left N"
//       whenever the number of stored actions changes, and exits 0 once the
//       store holds no action (written to disk before the exit)
//
// Any other use, or a failure, exits 1.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "MessageBox.h"
#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "clsActionManager.h"
#include "modGenFunctionsResource.h"
#include "HelperAccount.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

using namespace modLocalUserFunctions;

constexpr const char* kAccountName = "QUEUE";
constexpr int kWatchIntervalMs = 20;

int seed(int count, const std::string& peer) {
  clsActionManager& queue = ActionManager();
  for (int i = 0; i < count; ++i) {
    const std::string key = "MSG-" + std::to_string(i);
    if (!queue.AddAction(modGlobalVariables::kRequestDeliverMessage, key, "",
                         "<M UID='" + key + "' CO='Message " + std::to_string(i) + "'/>", false,
                         peer, false, true, false)) {
      return 1;
    }
  }
  queue.SaveStore();
  const int stored = queue.Actions().CountAll();
  ReleaseActionManager();
  std::printf("seeded %d\n", stored);
  return stored == count ? 0 : 1;
}

int run(QApplication& app) {
  clsActionManager& queue = ActionManager();
  queue.StartActionManager();
  queue.SetActionTimer(1, true);  // no reason to wait for the first tick
  std::printf("ready %d\n", queue.Actions().CountAll());
  std::fflush(stdout);
  int shown = -1;
  QTimer watch;
  watch.setInterval(kWatchIntervalMs);
  QObject::connect(&watch, &QTimer::timeout, &app, [&] {
    const int left = queue.Actions().CountAll();
    if (left != shown) {
      shown = left;
      std::printf("left %d\n", left);
      std::fflush(stdout);
    }
    if (left == 0) QCoreApplication::exit(0);
  });
  watch.start();
  const int result = app.exec();
  ReleaseActionManager();  // writes the store
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (!(mode == "seed" && argc == 4) && !(mode == "run" && argc == 2)) {
    std::fputs("usage: queue_worker seed N PEER_ADDRESS | queue_worker run\n", stderr);
    return 1;
  }
  try {
    platform::setMessageBoxResponder(platform::unattendedResponder("queue_worker"));
    MessageCenterServices::Install({[](int32_t, const std::string&, int32_t, const std::string&,
                                       const std::string&) {},
                                    [] {}});
    modGlobalVariables::InitGlobalVariables();
    modGenFunctionsResource::LoadResourceFile(1);
    logInHelperAccount(kAccountName);
    return mode == "seed" ? seed(std::atoi(argv[2]), argv[3]) : run(app);
  } catch (...) {
    std::fputs("queue_worker: failed\n", stderr);
    return 1;
  }
}
