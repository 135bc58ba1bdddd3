#include "app/hostlistmodel.h"

#include <QApplication>
#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QLocale>
#include <QStyle>
#include <algorithm>
#include <numeric>

#include "app/ouitable.h"

namespace app {

namespace {

const char* const kColumnCaptions[THostListModel::kColumnCount] = {
    "Host Name", "IP Address", "Vendor", "HTTP Title", "MAC Address"};

QString FromBytes(const std::string& text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

QString DateText(int64_t secondsSinceEpoch) {
  return QLocale().toString(QDateTime::fromSecsSinceEpoch(secondsSinceEpoch), QLocale::ShortFormat);
}

QString TypeText(scan::TDeviceType type) {
  switch (type) {
    case scan::TDeviceType::Printer: return QStringLiteral("Printer");
    case scan::TDeviceType::MediaPlayer: return QStringLiteral("TV or media player");
    case scan::TDeviceType::Router: return QStringLiteral("Router");
    case scan::TDeviceType::Computer: return QStringLiteral("Computer or NAS");
    case scan::TDeviceType::None: break;
  }
  return {};
}

// A theme icon where the desktop has one, else the style's own (so it shows offscreen too).
QIcon ThemedIcon(const char* themeName, QStyle::StandardPixmap fallback) {
  return QIcon::fromTheme(QString::fromLatin1(themeName),
                          QApplication::style()->standardIcon(fallback));
}

int32_t AddressesAnswered(const HostRecord& row) {
  return std::max(row.AddressCount, static_cast<int32_t>(row.Addresses.size()));
}

// A MAC answering for several addresses is a router or Wi-Fi repeater answering for the devices
// behind it, not a conflict of its own.
bool AnswersForOthers(const HostRecord& row) {
  return AddressesAnswered(row) >= kRepeaterAddresses;
}

bool HasConflict(const HostRecord& row) {
  return !row.OtherMac.empty() || (row.Addresses.size() > 1 && !AnswersForOthers(row));
}

// Moved: another address than last time, unless the MAC answers for others now or answered for
// this address too last time.
bool HasMoved(const HostRecord& row, const TKnownDevice& known) {
  if (known.LastAddress == row.IpAddress || AnswersForOthers(row)) return false;
  return std::find(known.Addresses.begin(), known.Addresses.end(), row.IpAddress) ==
         known.Addresses.end();
}

// New: a MAC the history has never seen, unless the history began with this run (everything
// would be new) or the MAC is a new private address of a known device.
bool IsNew(const HostRecord& row, const THistory* history) {
  return history && history->Available() && !history->StartedEmpty() &&
         !history->Known(row.MacAddress) && !history->LinkOf(row.MacAddress);
}

// "A, B, C" and past max "A, B and 5 more".
QString ListText(const std::vector<std::string>& items, size_t max, int total) {
  QStringList named;
  for (size_t i = 0; i < items.size() && i < max; ++i) named << FromBytes(items[i]);
  QString text = named.join(QStringLiteral(", "));
  if (total > named.size()) text += QStringLiteral(" and %1 more").arg(total - named.size());
  return text;
}

// Whether two records look the same in the list: texts, colours, marks and tooltips. The report
// times are not shown, so a repeated report changes nothing here.
bool SameOnScreen(const HostRecord& a, const HostRecord& b) {
  return a.HostName == b.HostName && a.IpAddress == b.IpAddress && a.Vendor == b.Vendor &&
         a.Title == b.Title && a.MacAddress == b.MacAddress && a.Expired == b.Expired &&
         a.OtherMac == b.OtherMac && a.OtherMacs == b.OtherMacs &&
         a.OtherMacCount == b.OtherMacCount && a.Evidence == b.Evidence &&
         a.DeviceType == b.DeviceType && a.Addresses == b.Addresses &&
         a.AddressCount == b.AddressCount && a.OtherMacsAt == b.OtherMacsAt &&
         a.Repeaters == b.Repeaters && a.Offers == b.Offers;
}

}  // namespace

THostListModel::THostListModel(const THostTable& table, QObject* parent)
    : QAbstractTableModel(parent), m_table(table) {}

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
  // What the views were last told of, never the live table row: a view asks between ticks
  // too, and must not show a value whose change it has not heard of. No table lock is taken.
  const HostRecord& row = m_rows[static_cast<size_t>(index.row())].Shown;
  switch (role) {
    case Qt::DisplayRole: return CellText(row, index.column());
    case Qt::BackgroundRole:
      // The host-name cell shows whether the host was seen only once and then not again.
      if (index.column() != kHostNameColumn) return {};
      return row.Expired ? QColor(Qt::red) : QColor(Qt::white);
    case Qt::ForegroundRole:
      // The host cell's own red or white stays in a dark theme too, so its text is dark.
      if (index.column() != kHostNameColumn) return {};
      return QColor(Qt::black);
    case Qt::FontRole: {
      if (!IsNew(row, m_history)) return {};
      QFont bold;
      bold.setBold(true);
      return bold;
    }
    case Qt::DecorationRole:
      if (index.column() != kHostNameColumn) return {};
      return MarkIcon(row);
    case Qt::ToolTipRole: return TipText(RowDescription(row, m_history));
    case Qt::AccessibleDescriptionRole:
      if (index.column() != kHostNameColumn) return {};
      return RowDescription(row, m_history);
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
  TListRow listed{tableRow, m_table.Row(tableRow)};
  const int row = rowCount();
  beginInsertRows({}, row, row);
  m_rows.push_back(std::move(listed));
  endInsertRows();
}

int32_t THostListModel::TableRow(int listRow) const {
  if (listRow < 0 || listRow >= rowCount()) return -1;
  return m_rows[static_cast<size_t>(listRow)].TableRow;
}

void THostListModel::SortByMac() {
  // The rows are brought up to date first: the table lock is never held while the views hear of
  // the change. A MAC never changes once listed, so equal orders are the common case.
  const std::vector<int> changed = TakeChanges();
  std::vector<int> order(m_rows.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return CompareNodes(m_rows[static_cast<size_t>(a)].Shown,
                        m_rows[static_cast<size_t>(b)].Shown) < 0;
  });
  if (std::is_sorted(order.begin(), order.end())) {
    Announce(changed);
    return;
  }
  // A new layout repaints every row, the changed ones with it.
  ApplyOrder(order);
  m_shownMarks = MarksFromHistory();
}

void THostListModel::ApplyOrder(const std::vector<int>& order) {
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::vector<TListRow> sorted;
  sorted.reserve(order.size());
  std::vector<int> newPosition(order.size());
  for (size_t i = 0; i < order.size(); ++i) {
    newPosition[static_cast<size_t>(order[i])] = static_cast<int>(i);
    sorted.push_back(std::move(m_rows[static_cast<size_t>(order[i])]));
  }
  m_rows = std::move(sorted);
  const QModelIndexList oldIndexes = persistentIndexList();
  QModelIndexList newIndexes;
  newIndexes.reserve(oldIndexes.size());
  for (const QModelIndex& old : oldIndexes)
    newIndexes.append(index(newPosition[static_cast<size_t>(old.row())], old.column()));
  changePersistentIndexList(oldIndexes, newIndexes);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void THostListModel::ShowChanges() { Announce(TakeChanges()); }

std::vector<int> THostListModel::TakeChanges() {
  std::vector<int> changed;
  const HostRecord none;
  m_table.ReadRows([&](const std::vector<HostRecord>& rows, int32_t count, uint64_t) {
    for (size_t i = 0; i < m_rows.size(); ++i) {
      const int32_t tableRow = m_rows[i].TableRow;
      const HostRecord& now =
          tableRow >= 0 && tableRow < count ? rows[static_cast<size_t>(tableRow)] : none;
      if (SameOnScreen(now, m_rows[i].Shown)) continue;
      m_rows[i].Shown = now;
      changed.push_back(static_cast<int>(i));
    }
  });
  return changed;
}

void THostListModel::Announce(const std::vector<int>& changed) {
  // A link made or undone changes the marks of rows that did not change themselves.
  if (MarksFromHistory() != m_shownMarks ||
      (m_history && m_history->LinkChangeCount() != m_shownLinks)) {
    AnnounceAllRows();
    return;
  }
  for (size_t first = 0; first < changed.size();) {
    size_t last = first;
    while (last + 1 < changed.size() && changed[last + 1] == changed[last] + 1) ++last;
    emit dataChanged(index(changed[first], 0), index(changed[last], kColumnCount - 1));
    first = last + 1;
  }
}

void THostListModel::AnnounceAllRows() {
  m_shownMarks = MarksFromHistory();
  m_shownLinks = m_history ? m_history->LinkChangeCount() : 0;
  if (m_rows.empty()) return;
  emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1));
}

void THostListModel::SetHistory(const THistory* history) {
  m_history = history;
  AnnounceAllRows();
}

bool THostListModel::MarksFromHistory() const { return m_history && m_history->Available(); }

// One icon fits the first cell: a warning or a move matters most; then what the device is,
// since a new device is also marked by its bold text and its words; then the new mark.
QIcon THostListModel::MarkIcon(const HostRecord& row) const {
  if (HasConflict(row)) return ThemedIcon("dialog-warning", QStyle::SP_MessageBoxWarning);
  const TKnownDevice* known = MarksFromHistory() ? m_history->Known(row.MacAddress) : nullptr;
  if (known && HasMoved(row, *known)) return ThemedIcon("go-jump", QStyle::SP_ArrowRight);
  switch (row.DeviceType) {
    case scan::TDeviceType::Printer: return ThemedIcon("printer", QStyle::SP_FileIcon);
    case scan::TDeviceType::MediaPlayer: return ThemedIcon("video-display", QStyle::SP_MediaPlay);
    case scan::TDeviceType::Router: return ThemedIcon("network-wired", QStyle::SP_DriveNetIcon);
    case scan::TDeviceType::Computer: return ThemedIcon("computer", QStyle::SP_ComputerIcon);
    case scan::TDeviceType::None: break;
  }
  if (AnswersForOthers(row)) return ThemedIcon("network-wired", QStyle::SP_DriveNetIcon);
  if (IsNew(row, m_history)) return ThemedIcon("emblem-new", QStyle::SP_MessageBoxInformation);
  return {};
}

QString THostListModel::TipText(const QString& plain) {
  if (plain.isEmpty()) return {};
  QStringList lines = plain.split(QLatin1Char('\n'));
  for (QString& line : lines) line = line.toHtmlEscaped();
  return QStringLiteral("<qt>") + lines.join(QStringLiteral("<br>")) + QStringLiteral("</qt>");
}

// "A", "A and B", "A, B and C", or past three "A, B and 5 more": the other MACs that answered
// for the row's address.
QString THostListModel::OtherMacsText(const HostRecord& row) {
  QStringList named;
  if (row.OtherMacs.empty()) named << FromBytes(row.OtherMac);
  for (const std::string& mac : row.OtherMacs) named << FromBytes(mac);
  const int others = std::max<int>(row.OtherMacCount, static_cast<int>(named.size()));
  if (others > 3 || others > named.size()) {
    const qsizetype kept = std::min<qsizetype>(2, named.size());
    return named.mid(0, kept).join(QStringLiteral(", ")) +
           QStringLiteral(" and %1 more").arg(others - kept);
  }
  if (named.size() == 1) return named[0];
  const QString last = named.takeLast();
  return named.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

QStringList THostListModel::HistoryLines(const HostRecord& row, const THistory& history) {
  if (const TKnownDevice* known = history.Known(row.MacAddress)) {
    const QString lastAddress = FromBytes(known->LastAddress);
    QStringList lines{QStringLiteral("Known since %1, last seen %2 at %3")
                          .arg(DateText(known->FirstSeen), DateText(known->LastSeen), lastAddress)};
    if (HasMoved(row, *known)) lines << QStringLiteral("Moved from ") + lastAddress;
    return lines;
  }
  if (const TDeviceLink* link = history.LinkOf(row.MacAddress)) {
    return {QStringLiteral("New private address of %1 (last seen %2 as %3)")
                .arg(FromBytes(link->Name), DateText(link->LastSeen), FromBytes(link->OldMac))};
  }
  if (history.StartedEmpty()) return {};
  return {QStringLiteral("New: first seen now")};
}

QString THostListModel::RowDescription(const HostRecord& row, const THistory* history) {
  QStringList lines;
  if (row.Expired) lines << QStringLiteral("Not seen again");
  if (history && history->Available()) lines << HistoryLines(row, *history);
  if (!row.OtherMac.empty()) {
    const std::string& at = row.OtherMacsAt.empty() ? row.IpAddress : row.OtherMacsAt;
    lines << QStringLiteral("%1 also answered from %2").arg(FromBytes(at), OtherMacsText(row));
  }
  for (const std::string& repeater : row.Repeaters) {
    lines << QStringLiteral("%1 is a router or Wi-Fi repeater answering for the devices behind it")
                 .arg(FromBytes(repeater));
  }
  if (AnswersForOthers(row)) {
    QString addresses = ListText(row.Addresses, kMaxAddressesPerMac, 0);
    if (AddressesAnswered(row) > static_cast<int32_t>(row.Addresses.size()))
      addresses += QStringLiteral("\u2026");
    lines << QStringLiteral(
                 "Answers for %1 addresses (a router or Wi-Fi repeater answering for the devices "
                 "behind it): %2")
                 .arg(AddressesAnswered(row))
                 .arg(addresses);
  } else {
    for (const std::string& address : row.Addresses) {
      if (address != row.IpAddress) {
        lines << QStringLiteral("%1 also answered for %2")
                     .arg(FromBytes(row.MacAddress), FromBytes(address));
      }
    }
  }
  if (row.DeviceType != scan::TDeviceType::None) lines << TypeText(row.DeviceType);
  if (!row.Offers.empty()) {
    lines << QStringLiteral("Offers: ") +
                 ListText(row.Offers, kMaxOffersNamed, static_cast<int>(row.Offers.size()));
  }
  for (const scan::TEvidence& evidence : row.Evidence) {
    lines << QStringLiteral("%1: %2 (%3)")
                 .arg(FromBytes(evidence.What), FromBytes(evidence.Text),
                      FromBytes(evidence.Source));
  }
  if (row.Vendor == kLocallyAdministered) {
    lines << QStringLiteral("Locally administered MAC (randomised, virtual machine or container)");
  } else if (!row.Vendor.empty() && row.Vendor != kUnknownVendor) {
    lines << QStringLiteral("Vendor: %1 (%2)").arg(FromBytes(row.Vendor), scan::kSourceIeee);
  }
  return lines.join(QLatin1Char('\n'));
}

}  // namespace app
