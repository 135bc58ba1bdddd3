#include "app/hostlistmodel.h"

#include <QAbstractItemModelTester>
#include <QColor>
#include <QSignalSpy>
#include <QTextDocument>
#include <QUrl>

#include <gtest/gtest.h>

namespace app {
namespace {

class HostListModel : public testing::Test {
 protected:
  double m_now = 46000.5;
  THostTable m_table{[this] { return m_now; }};
  THostListModel m_model{m_table};
  QAbstractItemModelTester m_tester{&m_model,
                                    QAbstractItemModelTester::FailureReportingMode::Fatal};

  void Report(const std::string& ip, const std::string& mac, const std::string& title = "") {
    m_table.Update(ip, "host-" + ip, mac, "http", title, "vendor-" + mac);
  }
  QString Text(int row, int column) { return m_model.data(m_model.index(row, column)).toString(); }
};

TEST_F(HostListModel, IsFlatWithFiveColumns) {
  Report("10.0.0.1", "00:00:00:00:00:01");
  m_model.AppendRow(0);
  EXPECT_EQ(m_model.rowCount(), 1);
  EXPECT_EQ(m_model.columnCount(), 5);
  EXPECT_EQ(m_model.rowCount(m_model.index(0, 0)), 0);
  EXPECT_FALSE(m_model.index(0, 3).parent().isValid());
  EXPECT_FALSE(m_model.index(1, 0).isValid());
  EXPECT_FALSE(m_model.index(0, 5).isValid());
}

TEST_F(HostListModel, CellsShowTheTableRowsFields) {
  Report("10.0.0.1", "00:00:00:00:00:01", "Login");
  m_model.AppendRow(0);
  EXPECT_EQ(Text(0, 0), "host-10.0.0.1");
  EXPECT_EQ(Text(0, 1), "10.0.0.1");
  EXPECT_EQ(Text(0, 2), "vendor-00:00:00:00:00:01");
  EXPECT_EQ(Text(0, 3), "Login");
  EXPECT_EQ(Text(0, 4), "00:00:00:00:00:01");
  EXPECT_EQ(m_model.headerData(3, Qt::Horizontal).toString(), "HTTP Title");
}

// A later report shows without any new list row, at the tick that tells the views of it: until
// then a view that asks (to repaint, or a screen reader) gets what it was last told.
TEST_F(HostListModel, LaterReportsShowAtTheTickThatAnnouncesThem) {
  Report("10.0.0.1", "00:00:00:00:00:01", "");
  m_model.AppendRow(0);
  Report("10.0.0.1", "00:00:00:00:00:01", "Now with a title");
  QSignalSpy changed(&m_model, &QAbstractItemModel::dataChanged);
  EXPECT_EQ(Text(0, 3), "");
  m_model.ShowChanges();
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(Text(0, 3), "Now with a title");
}

TEST_F(HostListModel, OtherColumnsHaveNoText) {
  HostRecord row;
  row.HostName = "x";
  EXPECT_EQ(THostListModel::CellText(row, 5), QString());
  EXPECT_EQ(THostListModel::CellText(row, -1), QString());
}

TEST_F(HostListModel, HostNameCellIsRedWhenExpiredAndWhiteOtherwise) {
  Report("10.0.0.1", "00:00:00:00:00:01");
  m_model.AppendRow(0);
  EXPECT_EQ(m_model.data(m_model.index(0, 0), Qt::BackgroundRole).value<QColor>(),
            QColor(Qt::white));
  EXPECT_FALSE(m_model.data(m_model.index(0, 1), Qt::BackgroundRole).isValid());
  m_now += 20.0 / 86400.0;
  ASSERT_TRUE(m_table.ExpireRows());
  EXPECT_EQ(m_model.data(m_model.index(0, 0), Qt::BackgroundRole).value<QColor>(),
            QColor(Qt::white))
      << "red only once the views are told";
  m_model.ShowChanges();
  EXPECT_EQ(m_model.data(m_model.index(0, 0), Qt::BackgroundRole).value<QColor>(), QColor(Qt::red));
  EXPECT_FALSE(m_model.data(m_model.index(0, 4), Qt::BackgroundRole).isValid());
}

TEST_F(HostListModel, Utf8HostNameIsShownThroughTheLocaleEncoding) {
  m_table.Update("10.0.0.1",
                 "K\xC3\xBC"
                 "che",
                 "00:00:00:00:00:01", "http", "", "v");
  m_model.AppendRow(0);
  EXPECT_EQ(Text(0, 0), QString::fromLocal8Bit("K\xC3\xBC"
                                               "che"));
}

TEST_F(HostListModel, SortOrdersRowsByMacTextAndKeepsSelectionsOnTheirRows) {
  Report("10.0.0.3", "00:00:00:00:00:0C");
  Report("10.0.0.1", "00:00:00:00:00:0A");
  Report("10.0.0.2", "00:00:00:00:00:0B");
  for (int32_t i = 0; i < 3; ++i) m_model.AppendRow(i);
  const QPersistentModelIndex first(m_model.index(0, 1));  // 10.0.0.3
  m_model.SortByMac();
  EXPECT_EQ(Text(0, 4), "00:00:00:00:00:0A");
  EXPECT_EQ(Text(1, 4), "00:00:00:00:00:0B");
  EXPECT_EQ(Text(2, 4), "00:00:00:00:00:0C");
  EXPECT_EQ(first.row(), 2);
  EXPECT_EQ(first.data().toString(), "10.0.0.3");
  EXPECT_EQ(m_model.TableRow(0), 1);
}

TEST_F(HostListModel, TicksTellTheViewsOfTheChangedRowsOnly) {
  Report("10.0.0.1", "00:00:00:00:00:0A");
  Report("10.0.0.2", "00:00:00:00:00:0B");
  Report("10.0.0.3", "00:00:00:00:00:0C");
  for (int32_t i = 0; i < 3; ++i) m_model.AppendRow(i);
  Report("10.0.0.1", "00:00:00:00:00:0A");  // seen again, so only 10.0.0.2 expires
  Report("10.0.0.3", "00:00:00:00:00:0C");
  QSignalSpy changed(&m_model, &QAbstractItemModel::dataChanged);
  QSignalSpy layout(&m_model, &QAbstractItemModel::layoutChanged);
  m_model.ShowChanges();
  m_model.SortByMac();
  EXPECT_EQ(changed.count(), 0) << "repeated reports look the same";

  const auto expectOnlyRow = [&](int row) {
    ASSERT_EQ(changed.count(), 1);
    const QList<QVariant> args = changed.takeFirst();
    EXPECT_EQ(args[0].toModelIndex(), m_model.index(row, 0));
    EXPECT_EQ(args[1].toModelIndex(), m_model.index(row, 4));
  };
  m_now += 20.0 / 86400.0;
  ASSERT_TRUE(m_table.ExpireRows());
  m_model.ShowChanges();
  expectOnlyRow(1);
  Report("10.0.0.3", "00:00:00:00:00:0C", "Now with a title");
  m_model.SortByMac();
  expectOnlyRow(2);
  EXPECT_EQ(layout.count(), 0) << "the order stayed";
}

// A document that notes every resource it is asked for instead of reading it.
class TWatchedDocument : public QTextDocument {
 public:
  QStringList Requested;

 protected:
  QVariant loadResource(int, const QUrl& name) override {
    Requested << name.toString();
    return {};
  }
};

// A device's name that looks like markup, with no history (so the tooltip's first line is the
// device's own words), is shown as text: shown the way a tooltip is, it reads no file. Screen
// readers get the words as they are.
TEST_F(HostListModel, DeviceTextInATooltipIsShownAsTextAndReadsNoFile) {
  const std::string hostile = "<img src=\"/nonexistent/qz-fifo\">";
  scan::THostDetails details;
  details.Evidence = {{"Name", hostile, "UPnP"}};
  m_table.Update("10.0.0.1", "", "00:00:00:00:00:01", "http", "", "", details);
  m_model.AppendRow(0);
  const QString plain = "Name: " + QString::fromStdString(hostile) + " (UPnP)";
  EXPECT_EQ(m_model.data(m_model.index(0, 0), Qt::AccessibleDescriptionRole).toString(), plain);
  for (int column = 0; column < m_model.columnCount(); ++column) {
    SCOPED_TRACE(column);
    const QString tip = m_model.data(m_model.index(0, column), Qt::ToolTipRole).toString();
    // As QToolTip's label does: rich text when it looks like it, else plain.
    TWatchedDocument shown;
    if (Qt::mightBeRichText(tip)) shown.setHtml(tip);
    else shown.setPlainText(tip);
    shown.setTextWidth(400);
    shown.size();
    EXPECT_EQ(shown.toPlainText().toStdString(), plain.toStdString());
    EXPECT_TRUE(shown.Requested.isEmpty()) << shown.Requested.join(' ').toStdString();
  }
}

TEST(HostListModelCompare, IsOrdinalOnTheMacText) {
  HostRecord a, b;
  a.MacAddress = "00:00:00:00:00:0A";
  b.MacAddress = "00:00:00:00:00:0a";
  EXPECT_LT(THostListModel::CompareNodes(a, b), 0) << "upper case sorts before lower case";
  EXPECT_GT(THostListModel::CompareNodes(b, a), 0);
  EXPECT_EQ(THostListModel::CompareNodes(a, a), 0);
  b.MacAddress = "00:00:00:00:00:0A:";
  EXPECT_LT(THostListModel::CompareNodes(a, b), 0) << "a prefix sorts first";
}

}  // namespace
}  // namespace app
