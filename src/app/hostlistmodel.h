#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <vector>

#include "app/history.h"
#include "app/hosttable.h"

namespace app {

// The result list: a flat model whose rows refer to host-table rows. Each row keeps what it
// showed when the views were last told of it, and cell texts and colours are served from that:
// a view never sees a value it was not told about. A tick (ShowChanges, SortByMac) takes the
// table's changes in and tells the views of the rows that changed and of no others.
//
// With a device history a row also carries its marks, never by colour alone: a new device is
// bold with an icon, a moved or conflicting one has an icon, and every cell's tooltip (the
// host cell's accessible description too, which screen readers read) says in words what the
// marks mean, where the name and vendor came from, and "Not seen again" for a red row.
class THostListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum TColumn {
    kHostNameColumn,
    kIpAddressColumn,
    kVendorColumn,
    kTitleColumn,
    kMacAddressColumn,
    kColumnCount
  };

  explicit THostListModel(const THostTable& table, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Appends a list row for host-table row tableRow, showing the row as it stands now.
  void AppendRow(int32_t tableRow);
  // The host-table row behind a list row, -1 when out of range.
  int32_t TableRow(int listRow) const;
  // Orders the rows by MAC text (ordinal, case-sensitive); rows of equal MACs keep their order.
  // The views hear of a new layout only when the order changed, else of the rows that changed.
  void SortByMac();
  // Tells the views of the rows whose table row (or whose marks) changed since they last heard.
  void ShowChanges();
  // The devices of earlier runs that the marks compare with; null: no marks from history.
  void SetHistory(const THistory* history);

  // The words of a row's tooltip, as plain text: one line per mark and per source of what it
  // shows. This is the host cell's accessible description as it stands; the tooltip itself is
  // TipText of it.
  static QString RowDescription(const HostRecord& row, const THistory* history);
  static QString OtherMacsText(const HostRecord& row);
  // What the history says of a row: known since, moved, new, or a new private address of a
  // known device; nothing new in a run that began the history.
  static QStringList HistoryLines(const HostRecord& row, const THistory& history);
  // An "Offers:" line names this many, then says how many more.
  static constexpr size_t kMaxOffersNamed = 8;
  // Plain text as a tooltip: explicit rich text in which every line is escaped, so a device's
  // words are shown as they are and never read as markup (Qt takes a tooltip whose first line
  // looks like a tag for rich text, and an <img> in it would make the window read a file).
  // Empty for empty text.
  static QString TipText(const QString& plain);

  // The text of a cell: host name, IP address, vendor, title or MAC of the row, the row's bytes
  // shown through the locale's 8-bit encoding. Empty for any other column.
  static QString CellText(const HostRecord& row, int column);
  // Ordinal comparison of two rows' MAC texts: negative, 0 or positive.
  static int CompareNodes(const HostRecord& row1, const HostRecord& row2);

 private:
  // A list row: its host-table row and what it showed when the views last heard of it.
  struct TListRow {
    int32_t TableRow = -1;
    HostRecord Shown;
  };

  QIcon MarkIcon(const HostRecord& row) const;
  bool MarksFromHistory() const;
  // Takes the changed table rows into the list rows' Shown; returns their list rows, ascending.
  std::vector<int> TakeChanges();
  // Tells the views of the changed list rows, one dataChanged per run of adjacent rows; of every
  // row when the marks came or went.
  void Announce(const std::vector<int>& changed);
  void AnnounceAllRows();
  // Puts list row order[i] at position i, persistent indexes following their rows.
  void ApplyOrder(const std::vector<int>& order);

  const THostTable& m_table;
  std::vector<TListRow> m_rows;
  const THistory* m_history = nullptr;
  bool m_shownMarks = false;  // whether the views last heard of rows with history marks
  uint64_t m_shownLinks = 0;  // the history's link count when the views last heard of all rows
};

}  // namespace app
