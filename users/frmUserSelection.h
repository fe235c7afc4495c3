#pragma once
// frmUserSelection: the user search. It asks other computers who uses the
// program there and lists the people found, so that the logged-in person
// can add them to his users directory.
//
// A search goes to one place: the address typed in the address box (request
// 1000, the accounts of that computer), else the primary server of the
// options when its address is valid (request 50300), else every computer
// of the local network (request 1000 to each address that browsing the
// network gives, this computer's included). Browsing takes a few seconds,
// during which the window stays live; closing the window or a new search
// drops it. Where no browsing service runs, the search says so and asks
// this computer alone. Each computer asked is one action of the queue,
// started at once; the answers arrive through AddFoundUsersToList while
// the window is open (it installs itself as the core's user search and
// gives that service back when it closes).
//
// The found list holds each person once: nobody without a "UID", never the
// logged-in person, nobody already in his users directory. The Add button
// stores the selected people in the users directory (and so on disk) and
// takes them off the found list.
//
// Opens where the person last left it and keeps a minimum size
// (modGloFunctionsUI); Close all windows hides every window of the program.
//
// Needs a logged-in account and the record globals. Owned by the start-up
// window when no owner is given. UI thread only.
#include <QWidget>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace modAPINetworking {
class Enumeration;
struct NetworkComputers;
}  // namespace modAPINetworking

class frmUserSelection : public QWidget {
  Q_OBJECT

 public:
  // Found-list columns.
  enum Column { kNameColumn = 0, kAddressColumn = 1 };
  // The most people taken from one answer.
  static constexpr int kMaxUsersPerAnswer = 1000;

  explicit frmUserSelection(QWidget* owner = nullptr);
  ~frmUserSelection() override;

  // Starts a new search (see above); the found list and the counters start
  // again from nothing. A typed text that is no dotted address is refused
  // with a message and nothing is asked.
  void SearchUsers();

  // (user list text): the identity elements "U" one computer answered with,
  // one element or several below one root; "" when it answered with nobody.
  // Either way that computer counts as answered. Never raises: an answer it
  // cannot read is logged.
  void AddFoundUsersToList(const std::string& users);
  // A computer asked could not be reached: it was asked, not answered.
  void HostNotReached();

  // Adds the selected found people to the logged-in person's users
  // directory, which is saved; returns how many were stored.
  int AddSelectedUsers();

  int HostsAsked() const { return hostsAsked_; }
  int HostsAnswered() const { return hostsAnswered_; }
  int UsersFound() const { return usersFound_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void InstallSearchService();
  void RestoreServices();
  void ClearFoundUsers();
  void AskNetworkComputers(const modAPINetworking::NetworkComputers& computers);
  void UpdateStatus();
  void UpdateControls();
  void cmdSearch_Click();
  void cmdAdd_Click();

  int hostsAsked_ = 0;
  int hostsAnswered_ = 0;
  int hostsNotReached_ = 0;
  int usersFound_ = 0;
  enum class NetworkSearch { kNone, kBrowsing, kNoService };
  NetworkSearch networkSearch_ = NetworkSearch::kNone;
  std::unique_ptr<modAPINetworking::Enumeration> enumeration_;
  // The identity element text of each found person, by "UID".
  std::map<std::string, std::string> found_;

  QLineEdit* txtAddress_;
  QPushButton* cmdSearch_;
  QTreeWidget* lvFoundUsers_;
  QPushButton* cmdAdd_;
  QPushButton* cmdCloseAll_;
  QPushButton* cmdClose_;
  QLabel* lblHostsAsked_;
  QLabel* lblHostsAnswered_;
  QLabel* lblUsersFound_;
  QLabel* lblStatus_;
};
