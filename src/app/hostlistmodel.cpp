#include "app/hostlistmodel.h"

#include <QColor>
#include <algorithm>

namespace app {

namespace {

const char* const kColumnCaptions[THostListModel::kColumnCount] = {
    "Host Name", "IP Address", "Vendor", "HTTP Title", "MAC Address"};

QString FromBytes(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

THostListModel::THostListModel(const THostTable& table, QObject* parent)
    : QAbstractItemModel(parent), m_table(table) {}

QModelIndex THostListModel::index(int row, int column, const QModelIndex& parent) const {
  if (parent.isValid() || row < 0 || row >= rowCount() || column < 0 || column >= kColumnCount)
    return {};
  return createIndex(row, column);
}

QModelIndex THostListModel::parent(const QModelIndex&) const { return {}; }

int THostListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int THostListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QString THostListModel::CellText(const HostRecord& row, int column) {
  switch (column) {
    case kHostNameColumn: return FromBytes(row.HostName);
    case kIpAddressColumn: return FromBytes(row.IpAddress);
    case kVendorColumn: return FromBytes(row.Vendor);
    case kTitleColumn: return FromBytes(row.Title);
    case kMacAddressColumn: return FromBytes(row.MacAddress);
    default: return {};
  }
}

int THostListModel::CompareNodes(const HostRecord& row1, const HostRecord& row2) {
  return row1.MacAddress.compare(row2.MacAddress);
}

QVariant THostListModel::data(const QModelIndex& index, int role) const {
  if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
    return {};
  switch (role) {
    case Qt::DisplayRole: return CellText(m_table.Row(m_rows[index.row()]), index.column());
    case Qt::BackgroundRole:
      // The host-name cell shows whether the host was seen only once and then not again.
      if (index.column() != kHostNameColumn) return {};
      return m_table.Row(m_rows[index.row()]).Expired ? QColor(Qt::red) : QColor(Qt::white);
    default: return {};
  }
}

QVariant THostListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumnCount)
    return {};
  return QString::fromLatin1(kColumnCaptions[section]);
}

void THostListModel::AppendRow(int32_t tableRow) {
  const int row = rowCount();
  beginInsertRows({}, row, row);
  m_rows.push_back(tableRow);
  endInsertRows();
}

int32_t THostListModel::TableRow(int listRow) const {
  if (listRow < 0 || listRow >= rowCount()) return -1;
  return m_rows[static_cast<size_t>(listRow)];
}

void THostListModel::SortByMac() {
  // The MACs are copied first: the table lock is never held while the views hear of the change.
  std::vector<std::pair<std::string, int32_t>> keyed;
  keyed.reserve(m_rows.size());
  for (const int32_t tableRow : m_rows)
    keyed.emplace_back(m_table.Row(tableRow).MacAddress, tableRow);

  std::vector<int> order(m_rows.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return keyed[a].first.compare(keyed[b].first) < 0; });

  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::vector<int> newPosition(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    newPosition[static_cast<size_t>(order[i])] = static_cast<int>(i);
    m_rows[i] = keyed[static_cast<size_t>(order[i])].second;
  }
  const QModelIndexList oldIndexes = persistentIndexList();
  QModelIndexList newIndexes;
  newIndexes.reserve(oldIndexes.size());
  for (const QModelIndex& old : oldIndexes)
    newIndexes.append(index(newPosition[static_cast<size_t>(old.row())], old.column()));
  changePersistentIndexList(oldIndexes, newIndexes);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void THostListModel::RefreshAll() {
  if (m_rows.empty()) return;
  emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1));
}

}  // namespace app
