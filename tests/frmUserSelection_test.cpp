// The user search against scripted computers on loopback addresses: what it
// asks, what it lists, and what adding writes into the users directory.
#include "frmUserSelection.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "MessageCenterServices.h"
#include "PoolLoan.h"
#include "ProgramTestEnvironment.h"
#include "RecordingMessageBox.h"
#include "ScopedEnvironment.h"
#include "ScriptedPeer.h"
#include "UsersAndOptionsServices.h"
#include "clsActionManager.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modLocalUserFunctions.h"

namespace {

constexpr const char* kOwnAddress = "127.0.0.71";
constexpr const char* kPeerAddress = "127.0.0.72";
constexpr const char* kServerAddress = "127.0.0.73";
constexpr const char* kBob = "B0B00000-0000-0000-0000-000000000001";
constexpr const char* kCarl = "CA410000-0000-0000-0000-000000000002";
constexpr const char* kDana = "DA4A0000-0000-0000-0000-000000000003";
constexpr const char* kEve = "E0E00000-0000-0000-0000-000000000004";

std::string identity(const std::string& uid, const std::string& first, const std::string& last,
                     const std::string& address = kPeerAddress) {
  return "<U LN=\"" + last + "\" FN=\"" + first + "\" UID=\"" + uid + "\" IP=\"" + address +
         "\" CN=\"PC\" CS=\"3\"/>";
}

template <typename T>
T* control(QWidget* window, const char* name) {
  T* found = window->findChild<T*>(name);
  if (found == nullptr) throw std::runtime_error(std::string("no control ") + name);
  return found;
}

class UserSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    ann_ = ProgramTestEnvironment::addAccount("ANN", "pw", "Ann", "Lee");
    modGlobalVariables::CurrentLocalUserUID = ann_;
    modLocalUserFunctions::LoadLocalUserOptions(modLocalUserFunctions::LocalUserOptions, true, "", "");
    ProgramTestEnvironment::addPerson(ann_, kBob, "1", "Smith", "Bob", kPeerAddress);
    MessageCenterServices::Install(
        {[this](int32_t, const std::string& text, int32_t, const std::string&, const std::string&) {
           events_.push_back(text);
         },
         [] {}});
  }
  void TearDown() override {
    ReleaseActionManager();
    MessageCenterServices::Install({});
    UsersAndOptionsServices::Install({});
    modLocalUserFunctions::LocalUserOptions = {};
  }

  void search(frmUserSelection& window, const std::string& address) {
    control<QLineEdit>(&window, "txtAddress")->setText(QString::fromStdString(address));
    QTest::mouseClick(control<QPushButton>(&window, "cmdSearch"), Qt::LeftButton);
  }
  static std::vector<std::string> listed(frmUserSelection& window) {
    std::vector<std::string> rows;
    auto* list = control<QTreeWidget>(&window, "lvFoundUsers");
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      rows.push_back(list->topLevelItem(i)->text(0).toStdString() + " @ " +
                     list->topLevelItem(i)->text(1).toStdString());
    }
    return rows;
  }
  static int queuedActions() {
    if (!ActionManagerExists()) return 0;
    int count = 0;
    for (const pugi::xml_node row : ActionManager().Actions().XMLDocLinked()->rootElement().children("A")) {
      (void)row;
      ++count;
    }
    return count;
  }

  ProgramTestEnvironment environment_;
  ScopedEnv address_{"TAVINOR_BIND_ADDRESS", kOwnAddress};
  RecordingMessageBox boxes_;
  std::string ann_;
  std::vector<std::string> events_;
};

// A typed address is asked for its accounts; only new people are listed,
// and adding them writes them into the users directory on disk.
TEST_F(UserSearch, FindsPeopleOfATypedComputerAndAddsThemToTheDirectory) {
  ScriptedPeer peer(kPeerAddress, clsActionManager::kPeerPort);
  ASSERT_TRUE(peer.listening());
  const std::string answer = "<TVR>" + identity(ann_, "Ann", "Lee") + identity(kBob, "Bob", "Smith") +
                             identity(kCarl, "Carl", "Jones") + identity(kCarl, "Carl", "Again") +
                             identity("", "No", "Body") + identity(kDana, "Dana", "Brown") + "</TVR>";
  peer.setScript([&](const std::string& request) {
    if (ScriptedPeer::attribute(request, "AT") == "1000") return ScriptedPeer::Answer{ScriptedPeer::reply(1000, answer), {}, false};
    return ScriptedPeer::Answer{};
  });

  frmUserSelection window;
  window.show();
  EXPECT_EQ(window.windowTitle().toStdString(), "Tavinor - User search");
  search(window, kPeerAddress);
  EXPECT_EQ(window.HostsAsked(), 1);
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return window.HostsAnswered() == 1; }, 5000))
      << "requests seen: " << peer.requests().size();

  EXPECT_EQ(peer.requestCodes().at(0), "1000");
  EXPECT_EQ(listed(window), (std::vector<std::string>{std::string("Brown, Dana @ ") + kPeerAddress,
                                                      std::string("Jones, Carl @ ") + kPeerAddress}));
  EXPECT_EQ(window.UsersFound(), 2);
  EXPECT_EQ(control<QLabel>(&window, "lblUsersFound")->text().toStdString(), "Users found: 2");

  // The same answer once more (another host, say) adds nobody twice.
  UsersAndOptionsServices::AddFoundUsersToList(answer);
  UsersAndOptionsServices::AddFoundUsersToList("");
  EXPECT_EQ(window.HostsAnswered(), 3);
  EXPECT_EQ(window.UsersFound(), 2);

  auto* add = control<QPushButton>(&window, "cmdAdd");
  EXPECT_FALSE(add->isEnabled());
  control<QTreeWidget>(&window, "lvFoundUsers")->selectAll();
  ASSERT_TRUE(add->isEnabled());
  QTest::mouseClick(add, Qt::LeftButton);
  EXPECT_TRUE(listed(window).empty());

  const auto directory = modGlobalFunctions::GetUserDataObject(modGlobalVariables::User, ann_, true);
  std::vector<std::string> stored;
  for (const pugi::xml_node row : directory->XMLDocLinked()->rootElement().children()) {
    stored.push_back(std::string(row.attribute("UID").value()) + " " + row.attribute("FN").value() +
                     " " + row.attribute("LN").value() + " " + row.attribute("IP").value());
  }
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(stored, (std::vector<std::string>{std::string(kBob) + " Bob Smith " + kPeerAddress,
                                              std::string(kCarl) + " Carl Jones " + kPeerAddress,
                                              std::string(kDana) + " Dana Brown " + kPeerAddress}));
  EXPECT_TRUE(boxes_.shown().empty());

  // A second search window takes the answers while it is open, then the
  // first one again; once both are closed, answers reach nobody.
  {
    frmUserSelection second;
    second.show();
    UsersAndOptionsServices::AddFoundUsersToList("");
    EXPECT_EQ(second.HostsAnswered(), 1);
    EXPECT_EQ(window.HostsAnswered(), 3);
    second.close();
  }
  UsersAndOptionsServices::AddFoundUsersToList("");
  EXPECT_EQ(window.HostsAnswered(), 4);
  window.close();
  UsersAndOptionsServices::AddFoundUsersToList(answer);
  EXPECT_EQ(window.HostsAnswered(), 4);
}

// Without a typed address the primary server is asked; without that the
// network is browsed, which without a browsing service turns up this
// computer alone; a wrong address asks nobody.
TEST_F(UserSearch, AsksThePrimaryServerOrTheNetwork) {
  ScopedEnv noBus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tvrbrw-bus");
  ScriptedPeer server(kServerAddress, clsActionManager::kServerPort);
  ASSERT_TRUE(server.listening());
  server.setScript([&](const std::string& request) {
    if (ScriptedPeer::attribute(request, "AT") != "50300") return ScriptedPeer::Answer{};
    return ScriptedPeer::Answer{ScriptedPeer::reply(1100, identity(kEve, "Eve", "White", "127.0.0.99")), {}, false};
  });
  frmUserSelection window;
  window.show();

  search(window, "127.0.0");
  search(window, "127.0.0.*");
  ASSERT_EQ(boxes_.shown().size(), 2u);
  EXPECT_EQ(queuedActions(), 0);

  ScriptedPeer self(kOwnAddress, clsActionManager::kPeerPort);
  ASSERT_TRUE(self.listening());
  self.setScript([&](const std::string& request) {
    if (ScriptedPeer::attribute(request, "AT") != "1000") return ScriptedPeer::Answer{};
    return ScriptedPeer::Answer{ScriptedPeer::reply(1000, identity(kCarl, "Carl", "Jones", kOwnAddress)), {}, false};
  });
  search(window, "");
  EXPECT_EQ(control<QLabel>(&window, "lblStatus")->text().toStdString(),
            "Looking for the computers of the network...");
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return window.HostsAnswered() == 1; }, 10000));
  EXPECT_EQ(window.HostsAsked(), 1);
  EXPECT_EQ(self.requestCodes().at(0), "1000");
  EXPECT_EQ(listed(window), std::vector<std::string>{std::string("Jones, Carl @ ") + kOwnAddress});
  EXPECT_EQ(control<QLabel>(&window, "lblStatus")->text().toStdString(),
            "No network browsing service (avahi-daemon) runs here: only this computer was asked.");

  modLocalUserFunctions::LocalUserOptions.PrimaryServerIP = kServerAddress;
  search(window, "");
  EXPECT_EQ(window.HostsAsked(), 1);
  ASSERT_TRUE(ScriptedPeer::waitFor([&] { return window.HostsAnswered() == 1; }, 5000));
  EXPECT_EQ(server.requestCodes().at(0), "50300");
  EXPECT_EQ(listed(window), std::vector<std::string>{"White, Eve @ 127.0.0.99"});
  EXPECT_EQ(boxes_.shown().size(), 2u);
}

}  // namespace

// A computer where no copy listens was asked, but did not answer.
TEST_F(UserSearch, AComputerThatCannotBeReachedIsAskedNotAnswered) {
  frmUserSelection window;
  window.show();
  search(window, "127.0.0.59");
  auto* status = control<QLabel>(&window, "lblStatus");
  EXPECT_TRUE(ScriptedPeer::waitFor([&] { return status->text() == "Search finished."; }, 15000))
      << status->text().toStdString();
  EXPECT_EQ(window.HostsAsked(), 1);
  EXPECT_EQ(window.HostsAnswered(), 0);
  EXPECT_EQ(control<QLabel>(&window, "lblHostsAnswered")->text().toStdString(), "Answered: 0");
}
