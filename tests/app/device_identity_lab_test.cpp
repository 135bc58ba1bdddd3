// Who a device is, run by the window's own scan over a test network, twice over one history:
// a device that keeps its mDNS name under a new private (locally administered) MAC is told as
// the known device's new address, names that prove nothing (shared, a product default, the
// device's own model, reverse DNS) link nothing, a repeater that answers ARP for the devices
// behind it is neither a conflict nor a move, a printer says what it offers, and a first run
// over an empty history marks nothing new. In raw mode (with a second device answering for
// one of the repeater's addresses) and in kernel mode.
//
// QZ_IDENTITY_SHOT=<file.png> saves a picture of the window after the raw run's second scan,
// with the tooltips of a linked row, the repeater's row and the printer's row.

#include "app/formmain.h"
#include "app/scansession.h"
#include "app/hostlistmodel.h"
#include "app/hosttable.h"
#include "app/labsession.h"
#include "lab/lab.h"
#include "netinfo/arp.h"
#include "scan/systemnetwork.h"

#include <QApplication>
#include <QFont>
#include <QIcon>
#include <QPainter>
#include <QStyle>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>
#include <QTreeView>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* kLinked = "192.168.88.11";  // keeps its mDNS name, turns private
constexpr const char* kLinkedMac = "00:1B:63:88:00:11";
constexpr const char* kLinkedPrivate = "02:5A:88:00:00:11";
constexpr const char* kLinkedName = "annas-laptop";
constexpr const char* kReverse = "192.168.88.12";  // a name from reverse DNS only
constexpr const char* kShared[] = {"192.168.88.21", "192.168.88.22", "192.168.88.23"};
constexpr const char* kModelNamed = "192.168.88.24";  // its friendly name is its model's
constexpr const char* kDefault = "192.168.88.25";     // mDNS name "iPhone"
constexpr const char* kPrinter = "192.168.88.50";
constexpr const char* kPrinterMac = "00:00:48:88:00:50";
constexpr const char* kRepeater = "192.168.88.30";
constexpr const char* kRepeaterMac = "00:0C:42:88:00:30";
constexpr const char* kSpoofer = "192.168.88.33";  // a second device at an address behind it
constexpr const char* kSpooferMac = "00:16:3E:88:00:33";
const std::vector<std::string> kBehind1 = {"192.168.88.31", "192.168.88.32", "192.168.88.33"};
const std::vector<std::string> kBehind2 = {"192.168.88.34", "192.168.88.35", "192.168.88.36"};

// The hosts that turn to a private MAC between the runs: address, MAC before, MAC after.
struct TTurning {
  const char* ip;
  const char* mac;
  const char* privateMac;
};
constexpr TTurning kTurning[] = {{kLinked, kLinkedMac, kLinkedPrivate},
                                 {kReverse, "00:1B:63:88:00:12", "02:5A:88:00:00:12"},
                                 {"192.168.88.23", "00:0E:58:88:00:23", "02:5A:88:00:00:23"},
                                 {kModelNamed, "00:11:32:88:00:24", "02:5A:88:00:00:24"},
                                 {kDefault, "00:1B:63:88:00:25", "02:5A:88:00:00:25"}};

constexpr const char* kRepeaterWords =
    "(a router or Wi-Fi repeater answering for the devices behind it): ";

std::string PrinterServices() {
  std::string services;
  for (const char* type : {"_ipp._tcp", "_printer._tcp", "_http._tcp"})
    services += std::string("<service><type>") + type + "</type><port>9</port></service>";
  return "<?xml version=\"1.0\" standalone='no'?>\n<service-group><name>Hall Printer</name>" +
         services + "</service-group>\n";
}

enum class TMark { None, New, Warning, Other };

// What one row shows: its words (the host cell's description), bold or not, its icon.
struct TRowView {
  std::string Mac;
  std::string Ip;
  QString Words;
  bool Bold = false;
  TMark Mark = TMark::None;
};

struct TRunView {
  std::vector<TRowView> Rows;
  QString Status;
  const TRowView* Find(const std::string& mac) const {
    for (const TRowView& row : Rows)
      if (row.Mac == mac) return &row;
    return nullptr;
  }
};

QImage IconImage(const QIcon& icon) { return icon.pixmap(16, 16).toImage(); }

// The icon as the list draws it: the theme's where it has one, else the style's.
TMark MarkOf(const QIcon& icon) {
  if (icon.isNull()) return TMark::None;
  const auto themed = [](const char* name, QStyle::StandardPixmap fallback) {
    return IconImage(
        QIcon::fromTheme(QString::fromLatin1(name), QApplication::style()->standardIcon(fallback)));
  };
  const QImage image = IconImage(icon);
  if (image == themed("emblem-new", QStyle::SP_MessageBoxInformation)) return TMark::New;
  if (image == themed("dialog-warning", QStyle::SP_MessageBoxWarning)) return TMark::Warning;
  return TMark::Other;
}

// The line of the words that starts with `start`, without it; empty when there is none.
QString LineAfter(const QString& words, const QString& start) {
  for (const QString& line : words.split(QLatin1Char('\n')))
    if (line.startsWith(start)) return line.mid(start.size());
  return {};
}

// The repeater's addresses as its words list them, in order.
std::vector<std::string> RepeaterAddresses(const QString& words) {
  const QString list =
      LineAfter(words, QStringLiteral("Answers for 3 addresses ") + kRepeaterWords);
  std::vector<std::string> addresses;
  for (const QString& address : list.split(QStringLiteral(", "), Qt::SkipEmptyParts))
    addresses.push_back(address.toStdString());
  std::sort(addresses.begin(), addresses.end());
  return addresses;
}

class DeviceIdentityLab : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!lab::HaveRoot()) return;
    s_lab = std::make_unique<lab::TLab>();
    s_lab->AddSegment("192.168.88.2/24", "02:00:00:00:88:02");
    for (const TTurning& host : kTurning)
      s_lab->AddHost({host.ip, host.mac, host.ip == std::string(kReverse) ? "den-pc.lab" : "", 0});
    s_lab->AddHost({kShared[0], "00:0E:58:88:00:21", "", 0});
    s_lab->AddHost({kShared[1], "00:0E:58:88:00:22", "", 0});
    s_lab->AddHost({kPrinter, kPrinterMac, "", 0});
    s_lab->AddHost({std::string(kRepeater) + "/24", kRepeaterMac, "", 0});
    s_lab->AddHost({kSpoofer, kSpooferMac, "", 0});
    s_lab->Up();
    s_lab->StartMdnsResponder(kLinked, kLinkedName);
    s_lab->StartMdnsResponder(kDefault, "iPhone");
    s_lab->StartMdnsResponder(kPrinter, "hall-printer", {PrinterServices()}, false);
    for (const char* ip : kShared)
      s_lab->StartSsdpResponder(ip, {"describe", "MediaRenderer", "Office Speaker"});
    s_lab->StartSsdpResponder(kModelNamed, {"describe", "MediaServer", "MediaServer 9000"});
    // The second device at an address behind the repeater answers only while a test runs its
    // responder: its kernel stays silent.
    s_lab->RunInHost(kSpoofer, {"ip", "link", "set", "dev", lab::kHostAdapter, "arp", "off"});
  }
  static void TearDownTestSuite() { s_lab.reset(); }

  void SetUp() override {
    QZ_REQUIRE_LAB();
    ASSERT_TRUE(s_lab);
    for (const TTurning& host : kTurning) s_lab->SetHostMac(host.ip, host.mac);
    s_lab->SetNetworkBehind(kRepeater, kBehind1, false);
    s_lab->RunInScanner({"ip", "neigh", "flush", "all"});
  }

  // One run of the window: both passes (ARP, then pages and names), the answers still heard
  // after them, the rows listed; what every row shows and the history's status.
  TRunView Run(netinfo::TArpResolver& resolver, const std::string& shot = {}) {
    lab::TScannerScope scope(*s_lab);
    s_lab->RunInScanner({"ip", "neigh", "flush", "all"});
    app::THostTable table;
    scan::TSystemNetwork network(resolver);
    const app::TSessionServices services = app::LabSessionServices(table, network, m_dir);
    TRunView view;
    app::TFormMain form(services);
    app::TScanSession& session = form.Session();
    session.ScanTimer->stop();
    session.DisplayTimer->stop();
    session.TimeOutTimer->stop();
    for (int pass = 0; pass < 2; ++pass) {
      session.ScanTimerTimer();
      std::this_thread::sleep_for(std::chrono::milliseconds(netinfo::kArpListenMs));
      session.DisplayTimerTimer();
    }
    session.ListModel()->SortByMac();
    const app::THostListModel& model = *session.ListModel();
    for (int r = 0; r < model.rowCount(); ++r) {
      const QModelIndex cell = model.index(r, app::THostListModel::kHostNameColumn);
      TRowView row;
      row.Mac =
          model.index(r, app::THostListModel::kMacAddressColumn).data().toString().toStdString();
      row.Ip =
          model.index(r, app::THostListModel::kIpAddressColumn).data().toString().toStdString();
      row.Words = cell.data(Qt::AccessibleDescriptionRole).toString();
      row.Bold = cell.data(Qt::FontRole).value<QFont>().bold();
      row.Mark = MarkOf(cell.data(Qt::DecorationRole).value<QIcon>());
      view.Rows.push_back(row);
    }
    view.Status = form.HistoryStatus();
    if (!shot.empty()) SaveShot(form, shot);
    form.close();
    return view;
  }

  // Changes between the runs: the turning hosts take private MACs, the repeater's devices
  // behind it take other addresses.
  static void ChangeDevices() {
    for (const TTurning& host : kTurning) s_lab->SetHostMac(host.ip, host.privateMac);
    s_lab->SetNetworkBehind(kRepeater, kBehind2, false);
  }

  // Both runs, with what holds in either mode; raw adds the second device at an address
  // behind the repeater in the first run.
  void CheckBothRuns(netinfo::TArpMode mode, const std::string& shot = {}) {
    const bool raw = mode == netinfo::TArpMode::Raw;
    auto resolver = [&] {
      lab::TScannerScope scope(*s_lab);
      return netinfo::MakeArpResolver(mode, QZ_ARP_HELPER_PATH);
    }();
    const pid_t spoofer = raw ? s_lab->StartArpResponder(kSpoofer, {}) : 0;
    const TRunView first = Run(*resolver);
    if (raw) s_lab->StopProcess(spoofer);

    // A first run over an empty history marks nothing new, and says when marks begin.
    EXPECT_TRUE(first.Status.contains("new devices are marked from the next run on"))
        << first.Status.toStdString();
    ASSERT_GE(first.Rows.size(), 9u);
    for (const TRowView& row : first.Rows) {
      EXPECT_FALSE(row.Bold) << row.Mac;
      EXPECT_NE(row.Mark, TMark::New) << row.Mac;
      EXPECT_FALSE(row.Words.contains("New: first seen now")) << row.Mac;
    }

    // The printer: what it offers, and its DNS-SD name once though three services carry it.
    const TRowView* printer = first.Find(kPrinterMac);
    ASSERT_TRUE(printer);
    EXPECT_EQ(LineAfter(printer->Words, "Offers: "),
              "Printing (IPP), Printing (LPD), Web page (HTTP)")
        << printer->Words.toStdString();
    EXPECT_EQ(printer->Words.count("Name: Hall Printer (DNS-SD)"), 1)
        << printer->Words.toStdString();

    // A UPnP device offers what its device type names.
    const TRowView* speaker = first.Find("00:0E:58:88:00:21");
    ASSERT_TRUE(speaker);
    EXPECT_EQ(LineAfter(speaker->Words, "Offers: "), "Media renderer")
        << speaker->Words.toStdString();

    const TRowView* repeater = first.Find(kRepeaterMac);
    ASSERT_TRUE(repeater);
    EXPECT_EQ(RepeaterAddresses(repeater->Words), kBehind1) << repeater->Words.toStdString();
    if (raw) {
      // The second device at one of its addresses is a conflict still, and its words say
      // what the other MAC is.
      const TRowView* spoofed = first.Find(kSpooferMac);
      ASSERT_TRUE(spoofed);
      EXPECT_EQ(spoofed->Ip, kSpoofer);
      EXPECT_EQ(spoofed->Mark, TMark::Warning);
      EXPECT_TRUE(
          spoofed->Words.contains(QString(kRepeaterMac) +
                                  " is a router or Wi-Fi repeater answering for the devices "
                                  "behind it"))
          << spoofed->Words.toStdString();
    } else {
      EXPECT_NE(repeater->Mark, TMark::Warning) << repeater->Words.toStdString();
    }

    ChangeDevices();
    const TRunView second = Run(*resolver, shot);

    // The device that kept its mDNS name is its known self under a new private address.
    const TRowView* linked = second.Find(kLinkedPrivate);
    ASSERT_TRUE(linked);
    const QString link = LineAfter(linked->Words, "New private address of ");
    // The name as the device gives it ("annas-laptop", maybe with its ".local").
    EXPECT_TRUE(link.startsWith(kLinkedName, Qt::CaseInsensitive)) << linked->Words.toStdString();
    EXPECT_TRUE(link.contains(" (last seen ")) << linked->Words.toStdString();
    EXPECT_TRUE(link.endsWith(QString(" as ") + kLinkedMac + ")")) << linked->Words.toStdString();
    EXPECT_FALSE(linked->Words.contains("New: first seen now")) << linked->Words.toStdString();
    EXPECT_FALSE(linked->Bold);
    EXPECT_NE(linked->Mark, TMark::New);

    // Names that prove nothing link nothing: reverse DNS, one that three devices share, the
    // device's own model, a product default.
    for (size_t i = 1; i < std::size(kTurning); ++i) {
      const TRowView* row = second.Find(kTurning[i].privateMac);
      ASSERT_TRUE(row) << kTurning[i].privateMac;
      EXPECT_TRUE(row->Words.startsWith("New: first seen now")) << row->Words.toStdString();
      EXPECT_FALSE(row->Words.contains("New private address")) << row->Words.toStdString();
      EXPECT_TRUE(row->Bold) << row->Mac;
    }

    // The repeater answers for other addresses now: no move, no conflict.
    repeater = second.Find(kRepeaterMac);
    ASSERT_TRUE(repeater);
    EXPECT_EQ(RepeaterAddresses(repeater->Words), kBehind2) << repeater->Words.toStdString();
    EXPECT_FALSE(repeater->Words.contains("Moved from")) << repeater->Words.toStdString();
    EXPECT_NE(repeater->Mark, TMark::Warning) << repeater->Words.toStdString();
    EXPECT_FALSE(second.Status.contains("from the next run on")) << second.Status.toStdString();
  }

  // The window with the tooltips of the linked row, the repeater's and the printer's beside it.
  static void SaveShot(app::TFormMain& form, const std::string& path) {
    form.show();
    form.resize(app::kFormWidth, 330);
    QApplication::processEvents();
    const QPixmap window = form.grab();
    QTreeView& view = *form.findChild<QTreeView*>();
    const app::THostListModel& model = *form.Session().ListModel();
    std::vector<std::pair<QRect, QPixmap>> tips;  // the row in the window, its tooltip
    for (const char* mac : {kLinkedPrivate, kRepeaterMac, kPrinterMac}) {
      for (int r = 0; r < model.rowCount(); ++r) {
        if (model.index(r, app::THostListModel::kMacAddressColumn).data().toString() != mac)
          continue;
        const QModelIndex cell = model.index(r, 0);
        const QRect rect = view.visualRect(cell);
        QToolTip::showText(view.viewport()->mapToGlobal(rect.center()),
                           cell.data(Qt::ToolTipRole).toString(), view.viewport());
        QApplication::processEvents();
        for (QWidget* widget : QApplication::topLevelWidgets()) {
          if (widget->inherits("QTipLabel") && widget->isVisible())
            tips.emplace_back(QRect(0, view.viewport()->mapTo(&form, rect.topLeft()).y(),
                                    window.width(), rect.height()),
                              widget->grab());
        }
        QToolTip::hideText();
        QApplication::processEvents();
      }
    }
    // Beside the window in the order of their rows, so that no two leader lines cross.
    std::sort(tips.begin(), tips.end(),
              [](const auto& a, const auto& b) { return a.first.top() < b.first.top(); });
    int tipsWidth = 0;
    int tipsHeight = 0;
    for (const auto& [row, tip] : tips) {
      tipsWidth = std::max(tipsWidth, tip.width());
      tipsHeight += tip.height() + 12;
    }
    QPixmap canvas(window.width() + tipsWidth + 84, std::max(window.height(), tipsHeight) + 24);
    canvas.fill(QColor(0xf0, 0xf0, 0xf0));
    QPainter painter(&canvas);
    painter.drawPixmap(12, 12, window);
    int top = 12;
    painter.setPen(QPen(QColor(0x30, 0x60, 0xc0), 2));
    for (const auto& [row, tip] : tips) {
      // The row outlined, a line from its end to its tooltip.
      const QRect outline = row.translated(12, 12).adjusted(1, -1, -2, 0);
      const int left = window.width() + 72;
      painter.drawRect(outline);
      painter.drawLine(outline.right(), outline.center().y(), left, top + tip.height() / 2);
      painter.drawPixmap(left, top, tip);
      top += tip.height() + 12;
    }
    painter.end();
    EXPECT_TRUE(canvas.save(QString::fromStdString(path))) << path;
  }

  QTemporaryDir m_dir;
  static std::unique_ptr<lab::TLab> s_lab;
};

std::unique_ptr<lab::TLab> DeviceIdentityLab::s_lab;

TEST_F(DeviceIdentityLab, RawModeLinksPrivateAddressesAndKnowsRepeatersAndOffers) {
  const char* shot = std::getenv("QZ_IDENTITY_SHOT");
  CheckBothRuns(netinfo::TArpMode::Raw, shot ? shot : "");
}

TEST_F(DeviceIdentityLab, KernelModeLinksPrivateAddressesAndKnowsRepeatersAndOffers) {
#ifdef __SANITIZE_ADDRESS__
  // Kernel mode takes the same table, history and model paths as raw mode, which the sanitized
  // build runs above; the plain build runs this one, and it is the lab's slowest minute.
  GTEST_SKIP() << "kernel mode runs in the plain build only";
#endif
  CheckBothRuns(netinfo::TArpMode::Kernel);
}

}  // namespace
