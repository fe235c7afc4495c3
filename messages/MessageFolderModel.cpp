#include "MessageFolderModel.h"

#include <algorithm>
#include <functional>
#include <iterator>

#include "PoolLoan.h"
#include "clsGenErrorHandler.h"
#include "clsGenObject.h"
#include "frmMessageViewer.h"
#include "modCOMMessageCenter.h"
#include "modGlobalFunctions.h"

namespace {

constexpr int32_t kUIDField = 0;
constexpr int32_t kStatusName = 50000;
constexpr int32_t kPriorityName = 50001;
constexpr int32_t kContentPreview = 50501;

// Rows whose texts are kept for painting: a few screens of them.
constexpr int kShownKept = 1024;
// More messages whose sort text changed than this move in one change of
// the layout rather than one by one.
constexpr std::size_t kMovesOneByOne = 16;
// Replaced sort texts are dropped once they are half of the texts kept and
// at least this many characters.
constexpr std::size_t kUnusedKeyCharsKept = 1 << 16;

const char* const kCaptions[MessageFolderModel::kColumnCount] = {"From",     "To",     "Date",
                                                                 "Priority", "Status", "Message"};

QString qs(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

MessageFolderModel::MessageFolderModel(QObject* parent) : QAbstractTableModel(parent) {}

void MessageFolderModel::fill(int32_t classType) {
  beginResetModel();
  folder_ = classType;
  uids_.clear();
  messages_.clear();
  order_.clear();
  forgetKeys();
  shown_.clear();
  try {
    PoolLoan messages(classType);
    const XMLDocumentRef& document = messages->XMLDocLinked();
    const pugi::xml_node root = document ? document->rootElement() : pugi::xml_node();
    const std::string element = messages->XMLElementBaseName();
    for (const pugi::xml_node row : root.children(element.c_str())) {
      const std::string_view uid = row.attribute("UID").value();
      if (uid.empty() || !uids_.add(uid).second) continue;
      messages_.push_back({nextArrival_++, 0, 0, true});
      const std::size_t place = messages_.size() - 1;
      setKey(place, columnText(*messages, row, sortColumn_));
      order_.push_back(static_cast<std::uint32_t>(place));
    }
    const auto ascending = [this](std::size_t a, std::size_t b) { return before(a, b); };
    // A folder kept in arrival order is already in date order.
    if (!std::is_sorted(order_.begin(), order_.end(), ascending)) {
      std::sort(order_.begin(), order_.end(), ascending);
    }
  } catch (...) {
    uids_.clear();
    messages_.clear();
    order_.clear();
    forgetKeys();
    endResetModel();
    raiseAgain("MessageFolderModel.fill");
  }
  endResetModel();
}

void MessageFolderModel::synchronize(const std::vector<std::string>& deleted,
                                     const std::vector<std::string>& updated) {
  try {
    removeRows(deleted);
    if (updated.empty()) return;
    PoolLoan messages(folder_);
    std::vector<std::size_t> changed;  // listed
    std::vector<std::pair<std::size_t, std::string>> moved;  // listed, with their new sort text
    std::vector<std::size_t> arrivals;
    for (const std::string& uid : updated) {
      messages->PC_SelectSingleNode(kUIDField, uid);
      const pugi::xml_node row = messages->GetCurrent();
      if (!row) continue;
      const auto [place, added] = uids_.add(uid);
      if (added) messages_.push_back({});
      Message& message = messages_[place];
      shown_.remove(place);
      std::string key = columnText(*messages, row, sortColumn_);
      if (message.listed) {
        changed.push_back(place);
        if (keyOf(place) != key) moved.emplace_back(place, std::move(key));
      } else {
        message.arrival = nextArrival_++;
        setKey(place, key);
        arrivals.push_back(place);
      }
    }
    moveRows(std::move(moved));
    for (const std::size_t place : changed) {
      const int shownRow = rowAt(positionOf(place), order_.size());
      emit dataChanged(index(shownRow, 0), index(shownRow, kColumnCount - 1));
    }
    insertRows(std::move(arrivals));
  } catch (...) {
    raiseAgain("MessageFolderModel.synchronize");
  }
}

int MessageFolderModel::rowOf(std::string_view uid) const {
  const std::size_t place = uids_.find(uid);
  if (place == TextList::kNone) return -1;
  const std::size_t position = positionOf(place);
  return position == order_.size() ? -1 : rowAt(position, order_.size());
}

std::string MessageFolderModel::uidAt(int row) const { return std::string(uids_.at(placeAt(row))); }

int MessageFolderModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(order_.size());
}

int MessageFolderModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant MessageFolderModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  if (role == Qt::UserRole) return QString::fromUtf8(uids_.at(placeAt(index.row())));
  // Names and the preview give up width on a narrow screen: on hover they
  // show whole.
  const bool shown = role == Qt::DisplayRole ||
                     (role == Qt::ToolTipRole && (index.column() == kFrom || index.column() == kTo ||
                                                  index.column() == kPreview));
  if (!shown) return {};
  return textsOf(placeAt(index.row()))[static_cast<std::size_t>(index.column())];
}

QVariant MessageFolderModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumnCount) {
    return {};
  }
  return QString(kCaptions[section]);
}

Qt::ItemFlags MessageFolderModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void MessageFolderModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= kColumnCount) return;
  if (column == sortColumn_ && order == sortOrder_) return;
  // The new sort texts are read before anything changes, so that a failure
  // leaves the order as it was.
  std::vector<std::string> keys;
  if (column != sortColumn_ && !order_.empty()) {
    PoolLoan messages(folder_);
    keys.reserve(order_.size());
    for (const std::uint32_t place : order_) {
      messages->PC_SelectSingleNode(kUIDField, uids_.at(place));
      const pugi::xml_node row = messages->GetCurrent();
      keys.push_back(row ? columnText(*messages, row, column) : std::string());
    }
  }
  reorder([&] {
    if (column != sortColumn_) {
      const std::vector<std::uint32_t> listed = order_;
      forgetKeys();
      for (std::size_t i = 0; i < listed.size(); ++i) setKey(listed[i], keys[i]);
      sortColumn_ = column;
      std::sort(order_.begin(), order_.end(),
                [this](std::size_t a, std::size_t b) { return before(a, b); });
    }
    sortOrder_ = order;
  });
}

void MessageFolderModel::reorder(const std::function<void()>& change) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList kept = persistentIndexList();
  std::vector<std::size_t> places;
  for (const QModelIndex& index : kept) places.push_back(placeAt(index.row()));
  change();
  QModelIndexList moved;
  for (std::size_t i = 0; i < places.size(); ++i) {
    moved.push_back(index(rowAt(positionOf(places[i]), order_.size()),
                          kept[static_cast<qsizetype>(i)].column()));
  }
  changePersistentIndexList(kept, moved);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

std::string MessageFolderModel::columnText(clsGenObject& messages, pugi::xml_node row,
                                           int column) const {
  switch (column) {
    case kFrom:
      return frmMessageViewer::SenderName(row);
    case kTo: {
      // The recipients are read from the collection's current row.
      messages.PC_SelectSingleNode(kUIDField, row.attribute("UID").value());
      std::string names = modCOMMessageCenter::GetRecipientNames(messages, false, false);
      for (std::size_t at = 0; (at = names.find("||", at)) != std::string::npos; at += 2) {
        names.replace(at, 2, "; ");
      }
      return names;
    }
    case kDate:
      return row.attribute("TS").value();
    case kPriority:
      return modGlobalFunctions::GetFieldValue(folder_, row, kPriorityName, false);
    case kStatus:
      return modGlobalFunctions::GetFieldValue(folder_, row, kStatusName, false);
    default:
      return modGlobalFunctions::GetFieldValue(folder_, row, kContentPreview, false);
  }
}

std::string_view MessageFolderModel::keyOf(std::size_t place) const {
  const Message& message = messages_[place];
  return std::string_view(keys_).substr(message.keyBegin, message.keyLength);
}

void MessageFolderModel::setKey(std::size_t place, std::string_view key) {
  Message& message = messages_[place];
  if (message.keyLength != 0 && keyOf(place) == key) return;
  unusedKeyChars_ += message.keyLength;
  message.keyBegin = keys_.size();
  message.keyLength = key.size();
  keys_.append(key);
  if (unusedKeyChars_ < kUnusedKeyCharsKept || unusedKeyChars_ * 2 < keys_.size()) return;
  std::string kept;
  kept.reserve(keys_.size() - unusedKeyChars_);
  // Listed messages and those about to be have sort texts; the others none.
  for (Message& each : messages_) {
    if (each.keyLength == 0) continue;
    const std::size_t begin = kept.size();
    kept.append(keys_, each.keyBegin, each.keyLength);
    each.keyBegin = begin;
  }
  keys_.swap(kept);
  unusedKeyChars_ = 0;
}

void MessageFolderModel::forgetKeys() {
  keys_.clear();
  unusedKeyChars_ = 0;
  for (Message& message : messages_) message.keyLength = 0;
}

bool MessageFolderModel::before(std::size_t a, std::size_t b) const {
  const int compared = keyOf(a).compare(keyOf(b));
  return compared < 0 || (compared == 0 && messages_[a].arrival < messages_[b].arrival);
}

std::size_t MessageFolderModel::positionOf(std::size_t place) const {
  if (place >= messages_.size() || !messages_[place].listed) return order_.size();
  const auto found = std::lower_bound(order_.begin(), order_.end(), place,
                                      [this](std::size_t a, std::size_t b) { return before(a, b); });
  return found != order_.end() && *found == place ? static_cast<std::size_t>(found - order_.begin())
                                                  : order_.size();
}

int MessageFolderModel::rowAt(std::size_t position, std::size_t count) const {
  return static_cast<int>(sortOrder_ == Qt::AscendingOrder ? position : count - 1 - position);
}

std::size_t MessageFolderModel::placeAt(int row) const {
  return order_[static_cast<std::size_t>(rowAt(static_cast<std::size_t>(row), order_.size()))];
}

void MessageFolderModel::insertRows(std::vector<std::size_t> places) {
  const auto ascending = [this](std::size_t a, std::size_t b) { return before(a, b); };
  std::sort(places.begin(), places.end(), ascending);
  places.erase(std::unique(places.begin(), places.end()), places.end());
  // From the last gap of the order to the first, so that the gaps still to
  // fill stay where they were found.
  for (std::size_t end = places.size(); end > 0;) {
    const auto at = std::upper_bound(order_.begin(), order_.end(), places[end - 1], ascending);
    std::size_t begin = end - 1;
    while (begin > 0 && (at == order_.begin() || before(*(at - 1), places[begin - 1]))) --begin;
    const std::size_t position = static_cast<std::size_t>(at - order_.begin());
    const std::size_t count = order_.size();
    const int added = static_cast<int>(end - begin);
    // Shown in the order's direction, the rows go before what follows them.
    const int first = sortOrder_ == Qt::AscendingOrder ? static_cast<int>(position)
                                                       : static_cast<int>(count - position);
    beginInsertRows({}, first, first + added - 1);
    order_.insert(at, places.begin() + static_cast<std::ptrdiff_t>(begin),
                  places.begin() + static_cast<std::ptrdiff_t>(end));
    for (std::size_t i = begin; i < end; ++i) messages_[places[i]].listed = true;
    endInsertRows();
    end = begin;
  }
}

void MessageFolderModel::removeRows(const std::vector<std::string>& uids) {
  std::vector<std::size_t> positions;
  for (const std::string& uid : uids) {
    const std::size_t position = positionOf(uids_.find(uid));
    if (position != order_.size()) positions.push_back(position);
  }
  std::sort(positions.begin(), positions.end(), std::greater<>());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
  // From the last position to the first, so that those still to remove stay
  // where they were found.
  for (std::size_t i = 0; i < positions.size();) {
    std::size_t j = i;
    while (j + 1 < positions.size() && positions[j + 1] + 1 == positions[j]) ++j;
    const std::size_t low = positions[j];
    const std::size_t high = positions[i];
    const std::size_t count = order_.size();
    const int first = static_cast<int>(sortOrder_ == Qt::AscendingOrder ? low : count - 1 - high);
    beginRemoveRows({}, first, first + static_cast<int>(high - low));
    for (std::size_t position = low; position <= high; ++position) {
      const std::size_t place = order_[position];
      Message& message = messages_[place];
      message.listed = false;
      unusedKeyChars_ += message.keyLength;
      message.keyLength = 0;
      shown_.remove(place);
    }
    order_.erase(order_.begin() + static_cast<std::ptrdiff_t>(low),
                 order_.begin() + static_cast<std::ptrdiff_t>(high) + 1);
    endRemoveRows();
    i = j + 1;
  }
}

void MessageFolderModel::moveRows(std::vector<std::pair<std::size_t, std::string>> moved) {
  // A view follows a few moves row by row at less cost than a change of its
  // layout, and many moves in one change of the layout.
  if (moved.size() <= kMovesOneByOne) {
    for (const auto& [place, key] : moved) moveToItsPlace(place, key);
    return;
  }
  reorder([&] {
    std::vector<std::size_t> positions;
    for (const auto& [place, key] : moved) positions.push_back(positionOf(place));
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
    std::vector<std::uint32_t> kept;
    kept.reserve(order_.size() - positions.size());
    for (std::size_t position = 0, next = 0; position < order_.size(); ++position) {
      if (next < positions.size() && positions[next] == position) {
        ++next;
      } else {
        kept.push_back(order_[position]);
      }
    }
    std::vector<std::uint32_t> places;
    for (auto& [place, key] : moved) {
      setKey(place, key);
      places.push_back(static_cast<std::uint32_t>(place));
    }
    const auto ascending = [this](std::size_t a, std::size_t b) { return before(a, b); };
    std::sort(places.begin(), places.end(), ascending);
    places.erase(std::unique(places.begin(), places.end()), places.end());
    order_.clear();
    std::merge(kept.begin(), kept.end(), places.begin(), places.end(), std::back_inserter(order_),
               ascending);
  });
}

void MessageFolderModel::moveToItsPlace(std::size_t place, std::string_view key) {
  const std::size_t from = positionOf(place);
  setKey(place, key);
  const auto ascending = [this](std::size_t a, std::size_t b) { return before(a, b); };
  const auto first = order_.begin();
  const auto at = first + static_cast<std::ptrdiff_t>(from);
  // Without `place` the order is sorted: its new position lies on one side.
  std::size_t to = static_cast<std::size_t>(std::lower_bound(first, at, place, ascending) - first);
  if (to == from) {
    to = static_cast<std::size_t>(std::lower_bound(at + 1, order_.end(), place, ascending) - first) - 1;
  }
  if (to == from) return;
  const std::size_t count = order_.size();
  const int fromRow = rowAt(from, count);
  const int toRow = rowAt(to, count);
  beginMoveRows({}, fromRow, fromRow, {}, toRow > fromRow ? toRow + 1 : toRow);
  if (to < from) {
    std::rotate(first + static_cast<std::ptrdiff_t>(to), at, at + 1);
  } else {
    std::rotate(at, at + 1, first + static_cast<std::ptrdiff_t>(to) + 1);
  }
  endMoveRows();
}

const MessageFolderModel::Texts& MessageFolderModel::textsOf(std::size_t place) const {
  const auto kept = shown_.constFind(place);
  if (kept != shown_.cend()) return *kept;
  if (shown_.size() >= kShownKept) shown_.clear();
  Texts& texts = shown_[place];
  try {
    PoolLoan messages(folder_);
    messages->PC_SelectSingleNode(kUIDField, uids_.at(place));
    // A message deleted since is shown empty until its row goes.
    if (const pugi::xml_node row = messages->GetCurrent()) {
      for (int column = 0; column < kColumnCount; ++column) {
        texts[static_cast<std::size_t>(column)] = qs(columnText(*messages, row, column));
      }
    }
  } catch (...) {
    // Painting reaches here after an arrival: no message box.
    logError("MessageFolderModel.data");
  }
  return texts;
}
