#include "frmUserSelection.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <set>
#include <vector>

#include "MessageBox.h"
#include "PoolLoan.h"
#include "TvrError.h"
#include "UsersAndOptionsServices.h"
#include "clsActionManager.h"
#include "clsGenErrorHandler.h"
#include "clsGenXMLDocument.h"
#include "modAPINetworking.h"
#include "modGenFunctions.h"
#include "modGenFunctionsControl.h"
#include "modGenFunctionsXML.h"
#include "modGenGlobals.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modGloFunctionsUI.h"
#include "modLocalUserFunctions.h"

namespace {

constexpr int32_t kUserUID = 0;
constexpr int32_t kUserSortName = 50000;  // "LN, FN"
constexpr int kLineEditPadding = 12;  // pixels around a box's text

QString qs(const std::string& text) { return QString::fromStdString(text); }
std::string ss(const QString& text) { return text.toStdString(); }

// The dotted form of a typed IPv4 address, "" when it is none. Wildcards
// and host names are not addresses here.
std::string dottedAddress(const std::string& typed) {
  if (!modGenFunctions::IsValidIPAddress(typed, false)) return {};
  QHostAddress address;
  if (!address.setAddress(qs(typed).trimmed()) ||
      address.protocol() != QAbstractSocket::IPv4Protocol) {
    return {};
  }
  const QString dotted = address.toString();
  // "10.1" and the like parse too; only the four numbers written out count.
  if (dotted != qs(typed).trimmed()) return {};
  return ss(dotted);
}

// The "U" elements of an answer: one element, or the elements below a root.
std::vector<pugi::xml_node> identityElements(const clsGenXMLDocument& answer) {
  std::vector<pugi::xml_node> elements;
  const pugi::xml_node root = answer.rootElement();
  if (std::string_view(root.name()) == "U") {
    elements.push_back(root);
    return elements;
  }
  for (const pugi::xml_node element : root.children("U")) {
    if (elements.size() >= static_cast<std::size_t>(frmUserSelection::kMaxUsersPerAnswer)) break;
    elements.push_back(element);
  }
  return elements;
}

std::set<std::string> directoryUIDs() {
  std::set<std::string> uids;
  PoolLoan users(modGlobalVariables::User);
  const XMLDocumentRef& document = users->XMLDocLinked();
  if (!document) return uids;
  for (const pugi::xml_node row : document->rootElement().children()) {
    if (row.type() == pugi::node_element) uids.insert(row.attribute("UID").value());
  }
  return uids;
}

}  // namespace

frmUserSelection::frmUserSelection(QWidget* owner)
    : QWidget(owner != nullptr ? owner : static_cast<QWidget*>(modGenGlobals::AppOwnerForm),
              Qt::Window) {
  setObjectName("frmUserSelection");
  setWindowTitle("Tavinor - User search");
  new modGloFunctionsUI::WindowPlacement(this, 5585, 5835, 5000, 3000);
  BuildControls();
  InstallSearchService();
  UpdateStatus();
  UpdateControls();
}

frmUserSelection::~frmUserSelection() { RestoreServices(); }

void frmUserSelection::BuildControls() {
  txtAddress_ = new QLineEdit(this);
  txtAddress_->setObjectName("txtAddress");
  txtAddress_->setPlaceholderText("Empty: the primary server, else the local network");
  // The hint says how a search goes: it stays whole.
  txtAddress_->setMinimumWidth(
      txtAddress_->fontMetrics().horizontalAdvance(txtAddress_->placeholderText()) +
      kLineEditPadding);
  cmdSearch_ = new QPushButton("Search", this);
  cmdSearch_->setObjectName("cmdSearch");
  cmdSearch_->setDefault(true);
  auto* searchRow = new QHBoxLayout;
  searchRow->addWidget(new QLabel("Computer address:", this));
  searchRow->addWidget(txtAddress_, 1);
  searchRow->addWidget(cmdSearch_);

  lvFoundUsers_ = new QTreeWidget(this);
  lvFoundUsers_->setObjectName("lvFoundUsers");
  lvFoundUsers_->setHeaderLabels({"Name", "Address"});
  lvFoundUsers_->setRootIsDecorated(false);
  lvFoundUsers_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lvFoundUsers_->setSortingEnabled(true);
  lvFoundUsers_->sortByColumn(kNameColumn, Qt::AscendingOrder);
  lvFoundUsers_->setColumnWidth(
      kNameColumn, lvFoundUsers_->fontMetrics().horizontalAdvance("Whitfield, Annabelle") +
                       kLineEditPadding * 2);
  // A long name gives up width on a narrow screen and reads whole on hover.
  modGenFunctionsControl::ListViewFitColumnsToWidth(lvFoundUsers_, {{true, {}}});

  lblHostsAsked_ = new QLabel(this);
  lblHostsAsked_->setObjectName("lblHostsAsked");
  lblHostsAnswered_ = new QLabel(this);
  lblHostsAnswered_->setObjectName("lblHostsAnswered");
  lblUsersFound_ = new QLabel(this);
  lblUsersFound_->setObjectName("lblUsersFound");
  lblStatus_ = new QLabel(this);
  lblStatus_->setObjectName("lblStatus");
  lblStatus_->setWordWrap(true);
  auto* counters = new QHBoxLayout;
  counters->addWidget(lblHostsAsked_);
  counters->addWidget(lblHostsAnswered_);
  counters->addWidget(lblUsersFound_);
  counters->addStretch();

  cmdAdd_ = new QPushButton("Add to my users", this);
  cmdAdd_->setObjectName("cmdAdd");
  cmdClose_ = new QPushButton("Close", this);
  cmdClose_->setObjectName("cmdClose");
  cmdCloseAll_ = modGloFunctionsUI::closeAllWindowsButton(this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cmdAdd_);
  buttons->addWidget(cmdCloseAll_);
  buttons->addWidget(cmdClose_);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(searchRow);
  layout->addWidget(lvFoundUsers_, 1);
  layout->addLayout(counters);
  layout->addWidget(lblStatus_);
  layout->addLayout(buttons);
  resize(560, 440);

  connect(cmdSearch_, &QPushButton::clicked, this, &frmUserSelection::cmdSearch_Click);
  connect(txtAddress_, &QLineEdit::returnPressed, this, &frmUserSelection::cmdSearch_Click);
  connect(cmdAdd_, &QPushButton::clicked, this, &frmUserSelection::cmdAdd_Click);
  connect(cmdClose_, &QPushButton::clicked, this, &QWidget::close);
  connect(lvFoundUsers_, &QTreeWidget::itemSelectionChanged, this, &frmUserSelection::UpdateControls);
}

namespace {

// The open search windows, the one that takes answers last. Several may be
// open (the main window's and the user manager's).
std::vector<frmUserSelection*>& openSearches() {
  static std::vector<frmUserSelection*> windows;
  return windows;
}

void installAnswersFor(frmUserSelection* window) {
  UsersAndOptionsServices::InstallSearch(
      [window](const std::string& users) { window->AddFoundUsersToList(users); },
      [window] { window->HostNotReached(); });
}

}  // namespace

// Answers reach the search that was shown or searched last while it is open,
// then the one open before it.
void frmUserSelection::InstallSearchService() {
  auto& windows = openSearches();
  windows.erase(std::remove(windows.begin(), windows.end(), this), windows.end());
  windows.push_back(this);
  installAnswersFor(this);
}

void frmUserSelection::RestoreServices() {
  auto& windows = openSearches();
  windows.erase(std::remove(windows.begin(), windows.end(), this), windows.end());
  if (windows.empty()) {
    UsersAndOptionsServices::InstallSearch({});
  } else {
    installAnswersFor(windows.back());
  }
}

void frmUserSelection::showEvent(QShowEvent* event) {
  InstallSearchService();
  QWidget::showEvent(event);
}

void frmUserSelection::closeEvent(QCloseEvent* event) {
  enumeration_.reset();
  RestoreServices();
  QWidget::closeEvent(event);
}

void frmUserSelection::ClearFoundUsers() {
  lvFoundUsers_->clear();
  found_.clear();
  hostsAsked_ = 0;
  hostsAnswered_ = 0;
  hostsNotReached_ = 0;
  usersFound_ = 0;
  networkSearch_ = NetworkSearch::kNone;
  enumeration_.reset();
}

void frmUserSelection::SearchUsers() {
  try {
    const std::string typed = ss(txtAddress_->text().trimmed());
    std::string address;
    int32_t request = 0;
    if (!typed.empty()) {
      address = dottedAddress(typed);
      if (address.empty()) {
        modGenFunctions::ShowMessageBox(
            "\"" + typed + "\" is not a computer address. Type four numbers from 0 to 255 "
            "separated by dots, such as 192.168.1.20.",
            platform::kMbExclamation, modGenFunctions::kAppTitle, this);
        txtAddress_->setFocus();
        return;
      }
      request = modGlobalVariables::kRequestLocalUsers;
    } else {
      address = dottedAddress(modLocalUserFunctions::LocalUserOptions.PrimaryServerIP);
      if (!address.empty()) request = modGlobalVariables::kRequestServerUserSearch;
    }
    ClearFoundUsers();
    if (request == 0) {
      networkSearch_ = NetworkSearch::kBrowsing;
      enumeration_ = modAPINetworking::EnumNetworkComputers(
          "", [this](const modAPINetworking::NetworkComputers& computers) {
            AskNetworkComputers(computers);
          });
    } else {
      ActionManager().AddAction(request, "", "", "", false, address, true, false, false);
      hostsAsked_ = 1;
    }
    InstallSearchService();
    UpdateStatus();
    UpdateControls();
  } catch (...) {
    raiseAgain("frmUserSelection.SearchUsers");
  }
}

void frmUserSelection::AskNetworkComputers(const modAPINetworking::NetworkComputers& computers) {
  networkSearch_ = computers.browsed ? NetworkSearch::kNone : NetworkSearch::kNoService;
  try {
    for (const std::string& address : computers.addresses) {
      ActionManager().AddAction(modGlobalVariables::kRequestLocalUsers, "", "", "", false, address,
                                true, false, false);
      ++hostsAsked_;
    }
  } catch (...) {
    endError("frmUserSelection.AskNetworkComputers");
  }
  UpdateStatus();
}

void frmUserSelection::AddFoundUsersToList(const std::string& users) {
  try {
    ++hostsAnswered_;
    if (!users.empty()) {
      const XMLDocumentRef answer = clsGenXMLDocument::create();
      if (!answer->load(users)) {
        throw TvrError(kErrTypeMismatch, "frmUserSelection.AddFoundUsersToList",
                       "The answer is no list of users");
      }
      const std::set<std::string> known = directoryUIDs();
      lvFoundUsers_->setSortingEnabled(false);
      for (const pugi::xml_node element : identityElements(*answer)) {
        const std::string uid = element.attribute("UID").value();
        if (uid.empty() || uid == modGlobalVariables::CurrentLocalUserUID || known.count(uid) != 0 ||
            found_.count(uid) != 0) {
          continue;
        }
        found_[uid] = modGenFunctionsXML::XMLToString(element);
        auto* item = new QTreeWidgetItem(lvFoundUsers_);
        item->setText(kNameColumn, qs(modGlobalFunctions::GetFieldValue(
                                       modGlobalVariables::User, element, kUserSortName, false)));
        item->setText(kAddressColumn, qs(element.attribute("IP").value()));
        item->setData(kNameColumn, Qt::UserRole, qs(uid));
        ++usersFound_;
      }
      lvFoundUsers_->setSortingEnabled(true);
    }
  } catch (...) {
    lvFoundUsers_->setSortingEnabled(true);
    logError("frmUserSelection.AddFoundUsersToList");
  }
  UpdateStatus();
  UpdateControls();
}

void frmUserSelection::HostNotReached() {
  ++hostsNotReached_;
  UpdateStatus();
}

int frmUserSelection::AddSelectedUsers() {
  int stored = 0;
  try {
    const QList<QTreeWidgetItem*> selected = lvFoundUsers_->selectedItems();
    for (QTreeWidgetItem* item : selected) {
      const std::string uid = ss(item->data(kNameColumn, Qt::UserRole).toString());
      const auto person = found_.find(uid);
      if (person == found_.end()) continue;
      const int32_t result = modGlobalFunctions::UpdateUserFromRemoteElement(
          modGlobalVariables::CurrentLocalUserUID, person->second, true);
      if (result != modGlobalFunctions::kIdentityStored &&
          result != modGlobalFunctions::kIdentityUnchanged) {
        continue;
      }
      ++stored;
      found_.erase(person);
      delete item;
    }
  } catch (...) {
    UpdateControls();
    raiseAgain("frmUserSelection.AddSelectedUsers");
  }
  UpdateControls();
  return stored;
}

void frmUserSelection::UpdateStatus() {
  lblHostsAsked_->setText(QString("Computers asked: %1").arg(hostsAsked_));
  lblHostsAnswered_->setText(QString("Answered: %1").arg(hostsAnswered_));
  lblUsersFound_->setText(QString("Users found: %1").arg(usersFound_));
  if (networkSearch_ == NetworkSearch::kBrowsing) {
    lblStatus_->setText("Looking for the computers of the network...");
  } else if (networkSearch_ == NetworkSearch::kNoService) {
    lblStatus_->setText(
        "No network browsing service (avahi-daemon) runs here: only this computer was asked.");
  } else if (hostsAsked_ > 0 && hostsAnswered_ + hostsNotReached_ < hostsAsked_) {
    lblStatus_->setText("Searching...");
  } else if (hostsAsked_ > 0) {
    lblStatus_->setText("Search finished.");
  } else {
    lblStatus_->clear();
  }
}

void frmUserSelection::UpdateControls() {
  cmdAdd_->setEnabled(!lvFoundUsers_->selectedItems().isEmpty());
}

void frmUserSelection::cmdSearch_Click() {
  try {
    SearchUsers();
  } catch (...) {
    endError("frmUserSelection.cmdSearch_Click");
  }
}

void frmUserSelection::cmdAdd_Click() {
  try {
    AddSelectedUsers();
  } catch (...) {
    endError("frmUserSelection.cmdAdd_Click");
  }
}
