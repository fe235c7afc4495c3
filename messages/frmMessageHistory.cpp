#include "frmMessageHistory.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "MessageBox.h"
#include "MessageFolderModel.h"
#include "frmMessageViewer.h"
#include "clsGenErrorHandler.h"
#include "modCOMMessageCenter.h"
#include "modGenFunctions.h"
#include "modGenFunctionsControl.h"
#include "modGenFunctionsResource.h"
#include "modGloFunctionsUI.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"

namespace {

// "Recall asked for N message(s)".
constexpr int kRecallCountMessage = 30102;
constexpr int kRecallQuestion = 30103;
// "The recall was not sent to %%: ..."
constexpr int kUnreachableRecallMessage = 30104;
// The code lists behind the priority and status columns.
constexpr int kPriorityList = 201;
constexpr int kMessageStatusList = 203;

QString qs(const std::string& text) { return QString::fromStdString(text); }

QStringList listTexts(int sectionId) {
  QStringList texts;
  for (const auto& item : modGenFunctionsResource::GetResourceSection(sectionId).items()) {
    texts << qs(modGenFunctionsResource::GetItemText(item.value));
  }
  return texts;
}

}  // namespace

frmMessageHistory::frmMessageHistory(QWidget* owner) : QWidget(owner, Qt::Window) {
  setObjectName("frmMessageHistory");
  setWindowTitle("Tavinor - Message history");
  new modGloFunctionsUI::WindowPlacement(this, 10000, 5400, 7600, 4000);

  cboFolder_ = new QComboBox(this);
  cboFolder_->setObjectName("cboFolder");
  cboFolder_->addItem("Received messages", static_cast<int>(modGlobalVariables::MessRec));
  cboFolder_->addItem("Sent messages", static_cast<int>(modGlobalVariables::MessSent));
  cboFolder_->addItem("History", static_cast<int>(modGlobalVariables::MessHist));
  messages_ = new MessageFolderModel(this);
  lvMessages_ = new QTableView(this);
  lvMessages_->setObjectName("lvMessages");
  lvMessages_->setModel(messages_);
  lvMessages_->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvMessages_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lvMessages_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvMessages_->setTabKeyNavigation(false);
  lvMessages_->setShowGrid(false);
  lvMessages_->setWordWrap(false);
  lvMessages_->verticalHeader()->hide();
  lvMessages_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  lvMessages_->verticalHeader()->setDefaultSectionSize(lvMessages_->fontMetrics().height() + 6);
  // What a column needs is measured on the rows in view alone.
  lvMessages_->verticalHeader()->setResizeContentsPrecision(0);
  QHeaderView* header = modGenFunctionsControl::ListViewNewSortHeader(lvMessages_);
  lvMessages_->setHorizontalHeader(header);
  header->setSortIndicator(MessageFolderModel::kDate, Qt::DescendingOrder);
  lvMessages_->setSortingEnabled(true);
  modGenFunctionsControl::ListViewKeepPlace(lvMessages_);
  // Every column starts at no width: it takes what it needs.
  for (int column = 0; column < MessageFolderModel::kColumnCount; ++column) {
    header->resizeSection(column, header->minimumSectionSize());
  }
  const modGenFunctionsControl::ColumnContent elastic{true, {}};
  modGenFunctionsControl::ListViewFitColumnsToWidth(
      lvMessages_, {elastic, elastic, {false, {"2026-12-07 13:27:08"}},
                    {false, listTexts(kPriorityList)}, {false, listTexts(kMessageStatusList)}, elastic},
      false);
  resize(960, 460);

  auto makeButton = [this](const char* text, const char* name) {
    auto* button = new QPushButton(text, this);
    button->setObjectName(name);
    return button;
  };
  cmdOpen_ = makeButton("Open", "cmdOpen");
  cmdRecall_ = makeButton("Recall", "cmdRecall");
  cmdMoveToHistory_ = makeButton("Move to history", "cmdMoveToHistory");
  cmdExport_ = makeButton("Export", "cmdExport");
  cmdCopy_ = makeButton("Copy", "cmdCopy");
  cmdClose_ = makeButton("Close", "cmdClose");
  cmdCloseAll_ = modGloFunctionsUI::closeAllWindowsButton(this);

  auto* commands = new QHBoxLayout;
  for (QPushButton* button : {cmdOpen_, cmdRecall_, cmdMoveToHistory_, cmdExport_, cmdCopy_})
    commands->addWidget(button);
  commands->addStretch();
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cmdCloseAll_);
  buttons->addWidget(cmdClose_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(cboFolder_);
  layout->addWidget(lvMessages_, 1);
  layout->addLayout(commands);
  layout->addLayout(buttons);

  connect(cboFolder_, &QComboBox::currentIndexChanged, this, &frmMessageHistory::RefreshList);
  connect(lvMessages_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          &frmMessageHistory::UpdateCommands);
  // A double click or Enter opens the message.
  connect(lvMessages_, &QAbstractItemView::activated, this,
          [this](const QModelIndex& index) { OpenMessage(index); });
  connect(cmdOpen_, &QPushButton::clicked, this, &frmMessageHistory::cmdOpen_Click);
  connect(cmdRecall_, &QPushButton::clicked, this, &frmMessageHistory::cmdRecall_Click);
  connect(cmdMoveToHistory_, &QPushButton::clicked, this,
          &frmMessageHistory::cmdMoveToHistory_Click);
  connect(cmdExport_, &QPushButton::clicked, this, &frmMessageHistory::cmdExport_Click);
  connect(cmdCopy_, &QPushButton::clicked, this, &frmMessageHistory::cmdCopy_Click);
  connect(cmdClose_, &QPushButton::clicked, this, &QWidget::close);

  RefreshList();
}

int32_t frmMessageHistory::CurrentFolder() const { return cboFolder_->currentData().toInt(); }

void frmMessageHistory::SelectFolder(int32_t classType) {
  const int index = cboFolder_->findData(static_cast<int>(classType));
  if (index >= 0) cboFolder_->setCurrentIndex(index);
}

// The list is read afresh, which forgets rows: the selection and the rows in
// view are noted by UID and found again.
void frmMessageHistory::RefreshList() {
  const int32_t folder = CurrentFolder();
  // A list that shows another folder than before starts at its top.
  const bool sameFolder = messages_->folder() == folder;
  std::vector<std::string> selected;
  std::vector<std::string> inView;
  std::string current;
  if (sameFolder) {
    selected = SelectedMessageUIDs();
    const int height = lvMessages_->viewport()->height();
    for (int row = std::max(0, lvMessages_->rowAt(0)); row < messages_->rowCount(); ++row) {
      if (lvMessages_->rowViewportPosition(row) >= height) break;
      inView.push_back(messages_->uidAt(row));
    }
    const QModelIndex currentIndex = lvMessages_->currentIndex();
    if (currentIndex.isValid()) current = messages_->uidAt(currentIndex.row());
  }
  try {
    messages_->fill(folder);
    SelectMessages(selected);
    const int currentRow = current.empty() ? -1 : messages_->rowOf(current);
    if (currentRow >= 0) {
      lvMessages_->selectionModel()->setCurrentIndex(messages_->index(currentRow, 0),
                                                     QItemSelectionModel::NoUpdate);
    }
    for (const std::string& uid : inView) {
      const int row = messages_->rowOf(uid);
      if (row < 0) continue;
      lvMessages_->scrollTo(messages_->index(row, 0), QAbstractItemView::PositionAtTop);
      break;
    }
  } catch (...) {
    endError("frmMessageHistory.RefreshList");
  }
  UpdateCommands();
}

void frmMessageHistory::SynchronizeItems(int32_t classType, const std::vector<std::string>& deleted,
                                         const std::vector<std::string>& updated) {
  if (classType != CurrentFolder() || classType != messages_->folder()) return;
  try {
    messages_->synchronize(deleted, updated);
  } catch (...) {
    raiseAgain("frmMessageHistory.SynchronizeItems");
  }
  UpdateCommands();
}

std::vector<std::string> frmMessageHistory::SelectedMessageUIDs() const {
  std::vector<int> rows;
  for (const QItemSelectionRange& range : lvMessages_->selectionModel()->selection()) {
    for (int row = range.top(); row <= range.bottom(); ++row) rows.push_back(row);
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  std::vector<std::string> uids;
  for (const int row : rows) uids.push_back(messages_->uidAt(row));
  return uids;
}

void frmMessageHistory::SelectMessages(const std::vector<std::string>& uids) {
  QItemSelection selection;
  for (const std::string& uid : uids) {
    const int row = messages_->rowOf(uid);
    if (row >= 0) {
      selection.select(messages_->index(row, 0),
                       messages_->index(row, MessageFolderModel::kColumnCount - 1));
    }
  }
  lvMessages_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void frmMessageHistory::UpdateCommands() {
  int selected = 0;
  for (const QItemSelectionRange& range : lvMessages_->selectionModel()->selection()) {
    selected += range.height();
  }
  const int32_t folder = CurrentFolder();
  cmdOpen_->setEnabled(selected == 1);
  cmdRecall_->setEnabled(selected > 0 && folder == modGlobalVariables::MessSent);
  cmdMoveToHistory_->setEnabled(selected > 0 && folder != modGlobalVariables::MessHist);
  cmdExport_->setEnabled(selected > 0);
  cmdCopy_->setEnabled(selected > 0);
}

void frmMessageHistory::cmdOpen_Click() {
  const QModelIndexList selected = lvMessages_->selectionModel()->selectedRows();
  if (selected.size() == 1) OpenMessage(selected.front());
}

void frmMessageHistory::OpenMessage(const QModelIndex& index) {
  try {
    if (!index.isValid()) return;
    const std::string uid = messages_->uidAt(index.row());
    modGlobalFunctions::OpenMessageViewer(CurrentFolder(), uid);
    // Opening a received message changes its status.
    SynchronizeItems(CurrentFolder(), {}, {uid});
  } catch (...) {
    endError("frmMessageHistory.OpenMessage");
  }
}

bool frmMessageHistory::AskToRecall(QWidget* owner, std::size_t count) {
  return count > 0 && modGenFunctions::ShowMessageBox(
                          modGenFunctionsResource::GetResourceMessage(
                              kRecallQuestion, {static_cast<int32_t>(count)}),
                          platform::kMbYesNo | platform::kMbQuestion | platform::kMbDefaultButton2,
                          modGenFunctions::kAppTitle, owner) == platform::kMbResultYes;
}

void frmMessageHistory::RecallAndTell(QWidget* owner, std::vector<std::string> uids) {
  std::vector<std::string> unreachable;
  const int32_t recalled = modCOMMessageCenter::RecallMessage(uids, unreachable);
  if (!unreachable.empty()) {
    std::string names;
    for (const std::string& uid : unreachable) {
      names += (names.empty() ? "" : "; ") + frmMessageViewer::PersonName(uid);
    }
    modGenFunctions::ShowMessageBox(
        modGenFunctionsResource::GetResourceMessage(kUnreachableRecallMessage, {names}),
        platform::kMbExclamation, modGenFunctions::kAppTitle, owner);
  }
  modGenFunctions::ShowMessageBox(
      modGenFunctionsResource::GetResourceMessage(kRecallCountMessage, {recalled}),
      platform::kMbInformation, modGenFunctions::kAppTitle, owner);
}

void frmMessageHistory::cmdRecall_Click() {
  try {
    const std::vector<std::string> selected = SelectedMessageUIDs();
    if (!AskToRecall(this, selected.size())) return;
    RecallAndTell(this, selected);
    // Only the recalled rows change: the folder is not read again.
    SynchronizeItems(CurrentFolder(), {}, selected);
  } catch (...) {
    endError("frmMessageHistory.cmdRecall_Click");
  }
}

void frmMessageHistory::cmdMoveToHistory_Click() {
  try {
    const std::vector<std::string> moved = SelectedMessageUIDs();
    modGlobalFunctions::CopyMessageToHistory(CurrentFolder(), moved);
    SynchronizeItems(CurrentFolder(), moved, {});
  } catch (...) {
    endError("frmMessageHistory.cmdMoveToHistory_Click");
  }
}

void frmMessageHistory::cmdExport_Click() {
  try {
    bool openAfter = false;
    modGlobalFunctions::SaveMessageToTextFile(SelectedMessageUIDs(), CurrentFolder(), this,
                                              openAfter);
  } catch (...) {
    endError("frmMessageHistory.cmdExport_Click");
  }
}

void frmMessageHistory::cmdCopy_Click() {
  try {
    QApplication::clipboard()->setText(
        qs(modGlobalFunctions::GetMessagesAsText(SelectedMessageUIDs(), CurrentFolder())));
  } catch (...) {
    endError("frmMessageHistory.cmdCopy_Click");
  }
}
