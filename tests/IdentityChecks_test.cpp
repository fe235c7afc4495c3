// Holding identities that claim a person of the users directory from
// another address: how many are held and checked at once, whatever the
// claims and whatever else the queue holds.
#include "IdentityChecks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Clock.h"
#include "ProgramTestEnvironment.h"
#include "ScopedEnvironment.h"
#include "clsActionManager.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

using namespace modGlobalVariables;

constexpr const char* kOnFile = "127.0.0.66";
constexpr int kPeople = IdentityChecks::kMaxHeld + 4;

std::string person(int n) {
  char uid[40];
  std::snprintf(uid, sizeof uid, "CCCC0000-0000-0000-0000-%012d", n);
  return uid;
}

std::string claimant(int n) { return "127.0.1." + std::to_string(n + 1); }

class Claims : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setFixedTime(QDateTime(QDate(2026, 3, 2), QTime(9, 0, 0)));
    ann_ = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
    CurrentLocalUserUID = ann_;
    modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true, "", "");
    for (int n = 0; n < kPeople; ++n) {
      ProgramTestEnvironment::addPerson(ann_, person(n), "5", "Made", "Up", kOnFile);
    }
    // The queue is looked at, never worked: its own tick never runs.
    ActionManager().tmrWinsockActionManager.blockSignals(true);
  }
  void TearDown() override {
    ReleaseActionManager();
    modLocalUserFunctions::LocalUserOptions = {};
    CurrentLocalUserUID.clear();
    platform::clearFixedTime();
  }

  // Person n's identity arrives from address `from`.
  static void claim(int n, const std::string& from) {
    const std::string identity = "<U UID=\"" + person(n) + "\" IP=\"" + from + "\" CS=\"6\"/>";
    IdentityChecks::HoldMove(CurrentLocalUserUID, person(n), kOnFile, from, identity);
  }
  // The checks (requests 1300) in the queue.
  static std::vector<std::string> checks() {
    std::vector<std::string> uids;
    for (const pugi::xml_node a : ActionManager().Actions().XMLDocLinked()->rootElement().children("A")) {
      if (std::string(a.attribute("AT").value()) == "1300") uids.emplace_back(a.attribute("UID").value());
    }
    return uids;
  }
  static void takeOutByHand(const std::vector<std::string>& uids) {
    for (const std::string& uid : uids) ActionManager().DeleteAction(uid, false);
  }

  ProgramTestEnvironment environment;
  ScopedEnv address{"TAVINOR_BIND_ADDRESS", "127.0.0.61"};
  std::string ann_;
};

}  // namespace

// Claims for n people, each from an address of its own. Each claim holds
// its identity and queues one check until kMaxHeld identities are held, or
// kMaxHeld checks made here wait in the queue; checks asked for by the
// person do not count.
TEST_F(Claims, AtMostKMaxHeldIdentitiesAreHeldAndChecked) {
  enum Checks { kStayQueued, kTakenOutAtOnce, kHoldsExpire };
  struct Row {
    const char* what;
    Checks checks;
  };
  const std::vector<Row> rows = {
      {"the checks stay queued", kStayQueued},
      {"each check is taken out by hand at once: the holds still count", kTakenOutAtOnce},
      {"the holds end while their checks wait: the queued checks still count", kHoldsExpire},
  };
  for (const Row& row : rows) {
    for (int n = 1; n <= kPeople; ++n) {
      SCOPED_TRACE(std::string(row.what) + ", people " + std::to_string(n));
      // A fresh start (the next claim ends the holds of the last round;
      // nothing is queued) with checks of the person's own asking queued.
      platform::advanceFixedTime(qint64{IdentityChecks::kRecheckSeconds} * 1000);
      takeOutByHand(checks());
      for (int own = 0; own < IdentityChecks::kMaxHeld; ++own) {
        ActionManager().AddAction(kRequestUserInformation, "", person(own), "", false, kOnFile, false, false, false);
      }
      const auto ownChecks = checks();
      if (row.checks == kHoldsExpire) {
        for (int i = 0; i < IdentityChecks::kMaxHeld; ++i) claim(i, claimant(i));
        platform::advanceFixedTime(qint64{IdentityChecks::kRecheckSeconds} * 1000);
      }
      const std::size_t before = checks().size();
      int made = 0;
      for (int i = 0; i < n; ++i) {
        const std::size_t queued = checks().size();
        claim(i, claimant(100 + i));
        made += static_cast<int>(checks().size() - queued);
        if (row.checks == kTakenOutAtOnce) {
          std::vector<std::string> mine = checks();
          mine.erase(mine.begin(), mine.begin() + static_cast<long>(ownChecks.size()));
          takeOutByHand(mine);
        }
      }
      const int expected = row.checks == kHoldsExpire ? 0 : std::min(n, IdentityChecks::kMaxHeld);
      EXPECT_EQ(made, expected);
      if (row.checks == kStayQueued) {
        EXPECT_EQ(checks().size(), before + static_cast<std::size_t>(expected));
      }
      takeOutByHand(ownChecks);
    }
  }
}
