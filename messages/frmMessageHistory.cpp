#include "frmMessageHistory.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <string_view>
#include <QVBoxLayout>

#include "PoolLoan.h"
#include "clsGenErrorHandler.h"
#include "frmMessageViewer.h"
#include "MessageBox.h"
#include "modCOMMessageCenter.h"
#include "modGenFunctions.h"
#include "modGenFunctionsControl.h"
#include "modGenFunctionsResource.h"
#include "modGlobalFunctions.h"
#include "modGlobalVariables.h"
#include "modGloFunctionsUI.h"

namespace {

// "Recall asked for N message(s)".
constexpr int kRecallCountMessage = 30102;
constexpr int kRecallQuestion = 30103;

constexpr int32_t kUIDField = 0;
constexpr int32_t kStatusName = 50000;
constexpr int32_t kPriorityName = 50001;
constexpr int32_t kContentPreview = 50501;

constexpr int kColumnPadding = 34;  // pixels around a column's text and sort mark

enum Column { kFromColumn, kToColumn, kDateColumn, kPriorityColumn, kStatusColumn, kPreviewColumn };

QString qs(const std::string& text) { return QString::fromStdString(text); }

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
  lvMessages_ = new QTreeWidget(this);
  lvMessages_->setObjectName("lvMessages");
  modGenFunctionsControl::ListViewFitColumnsToWidth(lvMessages_);
  lvMessages_->setRootIsDecorated(false);
  lvMessages_->setUniformRowHeights(true);
  lvMessages_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lvMessages_->setHeaderLabels({"From", "To", "Date", "Priority", "Status", "Message"});
  // Sorted on a header click and after a refill, and each synchronised row
  // put in its place, instead of the list sorting every row at each change.
  QHeaderView* header = lvMessages_->header();
  header->setSectionsClickable(true);
  header->setSortIndicatorShown(true);
  header->setSortIndicator(kDateColumn, Qt::DescendingOrder);
  connect(header, &QHeaderView::sortIndicatorChanged, lvMessages_, &QTreeWidget::sortItems);
  // Names, a whole time stamp and the start of the text at first sight.
  const QFontMetrics metrics = lvMessages_->fontMetrics();
  for (const auto& [column, sample] : {std::pair{kFromColumn, "Whitfield, Annabelle"},
                                       {kToColumn, "Whitfield, Annabelle"},
                                       {kDateColumn, "2026-12-07 13:27:08"},
                                       {kPriorityColumn, "Priority"},
                                       {kStatusColumn, "Not yet opened"}}) {
    lvMessages_->setColumnWidth(column, metrics.horizontalAdvance(sample) + kColumnPadding);
  }
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
  connect(lvMessages_, &QTreeWidget::itemSelectionChanged, this,
          &frmMessageHistory::UpdateCommands);
  // A double click or Enter opens the message.
  connect(lvMessages_, &QTreeWidget::itemActivated, this,
          [this](QTreeWidgetItem* item) { OpenMessage(item); });
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

void frmMessageHistory::RefreshList() {
  const int32_t folder = CurrentFolder();
  // A list that shows another folder than before starts at its top.
  const bool sameFolder = lvMessages_->property("folder").toInt() == folder;
  const std::vector<std::string> selected = sameFolder ? SelectedMessageUIDs()
                                                       : std::vector<std::string>{};
  const modGenFunctionsControl::ListViewPlace place =
      sameFolder ? modGenFunctionsControl::ListViewSavePlace(lvMessages_)
                 : modGenFunctionsControl::ListViewPlace{};
  try {
    lvMessages_->setProperty("folder", folder);
    lvMessages_->clear();
    PoolLoan messages(folder);
    messages->PC_Init(true);
    for (messages->PC_MoveFirst(); !messages->PC_EndOfList(); messages->PC_MoveNext()) {
      const pugi::xml_node row = messages->PC_Current();
      if (!row || std::string_view(row.attribute("UID").as_string()).empty()) continue;
      FillItem(new QTreeWidgetItem(lvMessages_), *messages);
    }
    lvMessages_->sortItems(lvMessages_->header()->sortIndicatorSection(),
                            lvMessages_->header()->sortIndicatorOrder());
    for (const std::string& uid : selected) {
      if (QTreeWidgetItem* item = modGenFunctionsControl::ListViewFindItem(lvMessages_, uid))
        item->setSelected(true);
    }
    modGenFunctionsControl::ListViewRestorePlace(lvMessages_, place);
  } catch (...) {
    endError("frmMessageHistory.RefreshList");
  }
  UpdateCommands();
}

void frmMessageHistory::SynchronizeItems(int32_t classType, const std::vector<std::string>& deleted,
                                         const std::vector<std::string>& updated) {
  if (classType != CurrentFolder()) return;
  const modGenFunctionsControl::ListViewPlace place =
      modGenFunctionsControl::ListViewSavePlace(lvMessages_);
  try {
    modGenFunctionsControl::ListViewRemoveItems(lvMessages_, deleted);
    PoolLoan messages(classType);
    for (const std::string& uid : updated) {
      messages->PC_SelectSingleNode(kUIDField, uid);
      if (!messages->GetCurrent()) continue;
      QTreeWidgetItem* item = modGenFunctionsControl::ListViewFindItem(lvMessages_, uid);
      if (item == nullptr) item = new QTreeWidgetItem(lvMessages_);
      FillItem(item, *messages);
      modGenFunctionsControl::ListViewKeepSorted(lvMessages_, item);
    }
  } catch (...) {
    raiseAgain("frmMessageHistory.SynchronizeItems");
  }
  modGenFunctionsControl::ListViewRestorePlace(lvMessages_, place);
  UpdateCommands();
}

void frmMessageHistory::FillItem(QTreeWidgetItem* item, clsGenObject& messages) {
  const int32_t folder = CurrentFolder();
  const pugi::xml_node row = messages.GetCurrent();
  item->setData(0, Qt::UserRole, qs(row.attribute("UID").as_string()));
  item->setText(kFromColumn, qs(frmMessageViewer::SenderName(row)));
  item->setText(kToColumn, qs(modCOMMessageCenter::GetRecipientNames(messages, false, false))
                               .replace("||", "; "));
  item->setText(kDateColumn, row.attribute("TS").as_string());
  item->setText(kPriorityColumn,
                qs(modGlobalFunctions::GetFieldValue(folder, row, kPriorityName, false)));
  item->setText(kStatusColumn, qs(modGlobalFunctions::GetFieldValue(folder, row, kStatusName, false)));
  item->setText(kPreviewColumn,
                qs(modGlobalFunctions::GetFieldValue(folder, row, kContentPreview, false)));
}

std::vector<std::string> frmMessageHistory::SelectedMessageUIDs() const {
  std::vector<std::string> uids;
  for (int index = 0; index < lvMessages_->topLevelItemCount(); ++index) {
    const QTreeWidgetItem* item = lvMessages_->topLevelItem(index);
    if (item->isSelected()) uids.push_back(item->data(0, Qt::UserRole).toString().toStdString());
  }
  return uids;
}

void frmMessageHistory::UpdateCommands() {
  const bool selected = !lvMessages_->selectedItems().isEmpty();
  const int32_t folder = CurrentFolder();
  cmdOpen_->setEnabled(lvMessages_->selectedItems().size() == 1);
  cmdRecall_->setEnabled(selected && folder == modGlobalVariables::MessSent);
  cmdMoveToHistory_->setEnabled(selected && folder != modGlobalVariables::MessHist);
  cmdExport_->setEnabled(selected);
  cmdCopy_->setEnabled(selected);
}

void frmMessageHistory::cmdOpen_Click() {
  const QList<QTreeWidgetItem*> selected = lvMessages_->selectedItems();
  if (selected.size() == 1) OpenMessage(selected.front());
}

void frmMessageHistory::OpenMessage(QTreeWidgetItem* item) {
  try {
    if (item == nullptr) return;
    const std::string uid = item->data(0, Qt::UserRole).toString().toStdString();
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

void frmMessageHistory::cmdRecall_Click() {
  try {
    std::vector<std::string> uids = SelectedMessageUIDs();
    if (!AskToRecall(this, uids.size())) return;
    const int32_t recalled = modCOMMessageCenter::RecallMessage(uids);
    RefreshList();
    modGenFunctions::ShowMessageBox(
        modGenFunctionsResource::GetResourceMessage(kRecallCountMessage, {recalled}),
        platform::kMbInformation, modGenFunctions::kAppTitle, this);
  } catch (...) {
    endError("frmMessageHistory.cmdRecall_Click");
  }
}

void frmMessageHistory::cmdMoveToHistory_Click() {
  try {
    modGlobalFunctions::CopyMessageToHistory(CurrentFolder(), SelectedMessageUIDs());
    RefreshList();
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
