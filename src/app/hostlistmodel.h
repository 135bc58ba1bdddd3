#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <vector>

#include "app/history.h"
#include "app/hosttable.h"

namespace app {

// The result list: a flat model whose rows refer to host-table rows. Cell texts and colours are
// read from the table row whenever the view asks, so later reports show at the next repaint.
//
// With a device history a row also carries its marks, never by colour alone: a new device is
// bold with an icon, a moved or conflicting one has an icon, and every cell's tooltip (the
// host cell's accessible description too, which screen readers read) says in words what the
// marks mean, where the name and vendor came from, and "Not seen again" for a red row.
class THostListModel : public QAbstractItemModel {
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

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Appends a list row for host-table row tableRow.
  void AppendRow(int32_t tableRow);
  // The host-table row behind a list row, -1 when out of range.
  int32_t TableRow(int listRow) const;
  // Orders the rows by MAC text (ordinal, case-sensitive); rows of equal MACs keep their order.
  void SortByMac();
  // Asks the views to repaint every cell (expiry marks changed).
  void RefreshAll();
  // The devices of earlier runs that the marks compare with; null: no marks from history.
  void SetHistory(const THistory* history);

  // The tooltip of a row: one line per mark and per source of what it shows.
  static QString RowDescription(const HostRecord& row, const THistory* history);

  // The text of a cell: host name, IP address, vendor, title or MAC of the row, the row's bytes
  // shown through the locale's 8-bit encoding. Empty for any other column.
  static QString CellText(const HostRecord& row, int column);
  // Ordinal comparison of two rows' MAC texts: negative, 0 or positive.
  static int CompareNodes(const HostRecord& row1, const HostRecord& row2);

 private:
  QIcon MarkIcon(const HostRecord& row) const;

  const THostTable& m_table;
  std::vector<int32_t> m_rows;
  const THistory* m_history = nullptr;
};

}  // namespace app
