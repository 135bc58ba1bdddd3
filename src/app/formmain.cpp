#include "app/formmain.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTreeView>
#include <algorithm>

#include "app/hostlistmodel.h"

namespace app {

namespace {

const QColor kAccent(0x33, 0x33, 0xFF);  // RGB #3333FF, a strong blue
constexpr int kColumnWidths[] = {150, 120, 200, 200, 120};

// The first installed family of `candidates` (the designed family first, then its nearest
// look-alikes), else the style's generic family.
QFont PixelFont(const QStringList& candidates, QFont::StyleHint hint, int pixelHeight, bool bold) {
  QFont font;
  font.setStyleHint(hint);
  const QStringList installed = QFontDatabase::families();
  for (const QString& family : candidates) {
    if (installed.contains(family, Qt::CaseInsensitive)) {
      font.setFamily(family);
      break;
    }
  }
  // Fonts are sized by their character height in pixels, as designed at 96 dpi; they do not
  // scale with the screen.
  font.setPixelSize(pixelHeight);
  font.setBold(bold);
  return font;
}

QFont TahomaFont(int pixelHeight, bool bold) {
  return PixelFont({"Tahoma", "DejaVu Sans", "Liberation Sans", "Noto Sans", "Nimbus Sans"},
                   QFont::SansSerif, pixelHeight, bold);
}

QFont ConsolasFont(int pixelHeight) {
  return PixelFont(
      {"Consolas", "DejaVu Sans Mono", "Liberation Mono", "Noto Sans Mono", "Nimbus Mono PS"},
      QFont::Monospace, pixelHeight, false);
}

QFont MsSansSerifFont(int pixelHeight) {
  return PixelFont(
      {"MS Sans Serif", "Microsoft Sans Serif", "DejaVu Sans", "Liberation Sans", "Nimbus Sans"},
      QFont::SansSerif, pixelHeight, false);
}

// Every list row has the designed height, whatever the font's own line height.
class TRowHeightDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(kListRowHeight);
    return size;
  }
};

// The labels size themselves to their text (175 x 45 and 262 x 19 in the designed fonts): a
// stand-in font of other widths must not cut the text off.
void PlaceAutoSized(QLabel* label, int left, int top, int width, int height) {
  const QSize text = label->sizeHint();
  label->setGeometry(left, top, std::max(width, text.width()), std::max(height, text.height()));
}

}  // namespace

std::string CaptionForVersion(int major, int minor) {
  return major > 5 && minor > 1 ? "" : kProgramTitle;
}

int CentredLeft(int screenWidth, int windowWidth) { return screenWidth / 2 - windowWidth / 2; }

int OuterHeightForRows(int32_t displayedCount, int availableHeight) {
  const int64_t wanted = static_cast<int64_t>(displayedCount) * kRowStep + kBaseHeight;
  if (availableHeight > 0 && wanted > availableHeight) return availableHeight;
  return static_cast<int>(wanted);
}

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() &&
      static_cast<unsigned char>(message.back()) > static_cast<unsigned char>('.')) {
    return message + ".";
  }
  return message;
}

void ShowErrorBox(QWidget* parent, const std::string& message) {
  QMessageBox box(QMessageBox::Critical, QString::fromLatin1(kProgramTitle),
                  QString::fromLocal8Bit(ErrorBoxText(message).c_str()), QMessageBox::Ok, parent);
  // A message may quote a device or a file name; it is shown as it is, never as markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

TFormMain::TFormMain(TSessionServices services, QWidget* parent) : QWidget(parent) {
  if (!services.ShowError)
    services.ShowError = [this](const std::string& message) { ShowErrorBox(this, message); };
  m_session = std::make_unique<TScanSession>(std::move(services));
  CreateComponents();
  ConnectSession();
  m_session->Guarded([this] { FormCreate(); });
}

// The session (its list model with it) goes first: the list hears of its model going.
TFormMain::~TFormMain() = default;

void TFormMain::CreateComponents() {
  setAttribute(Qt::WA_DeleteOnClose, false);
  setWindowTitle(QString::fromLatin1(kProgramTitle));
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);
  setFont(MsSansSerifFont(11));

  CreateList();
  CreatePanel(palette);

  resize(kFormWidth, kFormHeight);
  LayoutChildren();
}

void TFormMain::CreateList() {
  VirtualStringTree1 = new QTreeView(this);
  VirtualStringTree1->setObjectName("VirtualStringTree1");
  VirtualStringTree1->setAccessibleName(QStringLiteral("Devices found"));
  VirtualStringTree1->installEventFilter(this);
  VirtualStringTree1->setModel(m_session->ListModel());
  VirtualStringTree1->setItemDelegate(new TRowHeightDelegate(VirtualStringTree1));
  VirtualStringTree1->setFrameShape(QFrame::NoFrame);
  VirtualStringTree1->setFont(ConsolasFont(11));
  VirtualStringTree1->setRootIsDecorated(false);
  VirtualStringTree1->setItemsExpandable(false);
  VirtualStringTree1->setIndentation(0);
  VirtualStringTree1->setUniformRowHeights(true);
  VirtualStringTree1->setSortingEnabled(false);
  VirtualStringTree1->setEditTriggers(QAbstractItemView::NoEditTriggers);
  VirtualStringTree1->setSelectionMode(QAbstractItemView::SingleSelection);
  VirtualStringTree1->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  QHeaderView* header = VirtualStringTree1->header();
  header->setStretchLastSection(false);
  header->setSectionsMovable(true);
  for (int column = 0; column < THostListModel::kColumnCount; ++column)
    header->resizeSection(column, kColumnWidths[column]);
  header->hide();
  connect(VirtualStringTree1, &QTreeView::clicked, this, &TFormMain::VirtualStringTree1NodeClick);
}

void TFormMain::CreatePanel(const QPalette& palette) {
  Panel1 = new QWidget(this);
  Panel1->setObjectName("Panel1");
  Panel1->setAutoFillBackground(true);
  Panel1->setPalette(palette);
  Label1 = new QLabel(QString::fromLatin1(kProgramTitle), Panel1);
  Label1->setObjectName("Label1");
  Label1->setFont(TahomaFont(37, true));
  PlaceAutoSized(Label1, 24, 11, 175, 45);
  Label2 = new QLabel(QStringLiteral("Scan your devices easy and fast."), Panel1);
  Label2->setObjectName("Label2");
  Label2->setFont(TahomaFont(16, true));
  PlaceAutoSized(Label2, 520, 31, 262, 19);
  Progress = new QProgressBar(Panel1);
  Progress->setObjectName("Progress");
  Progress->setTextVisible(false);
  Progress->setRange(0, 100);
  Progress->setValue(0);
}

void TFormMain::ConnectSession() {
  // A new row is listed after its tone and pause; the window has grown for it before them.
  connect(m_session.get(), &TScanSession::RowArriving, this, [this](int32_t position) {
    SetOuterHeight(OuterHeightForRows(position, AvailableHeight()));
  });
  connect(m_session.get(), &TScanSession::ProgressChanged, this, &TFormMain::ShowProgress);
  connect(m_session.get(), &TScanSession::HistoryStatusChanged, this,
          &TFormMain::ShowHistoryStatus);
}

void TFormMain::LayoutChildren() {
  Panel1->setGeometry(0, 0, width(), kPanelHeight);
  Progress->setGeometry(0, kPanelHeight - kProgressHeight, width(), kProgressHeight);
  VirtualStringTree1->setGeometry(0, kPanelHeight, width(), std::max(0, height() - kPanelHeight));
}

void TFormMain::FormCreate() {
  // Another copy already runs: the session has ended the process, before any window shows.
  if (!m_session->Started()) return;

  QPalette labelPalette = Label1->palette();
  labelPalette.setColor(QPalette::WindowText, kAccent);
  Label1->setPalette(labelPalette);
  Label2->setPalette(labelPalette);

  VirtualStringTree1->setSelectionBehavior(QAbstractItemView::SelectRows);

  // A continuous bar in the accent colour on the panel's white.
  Progress->setStyleSheet(QStringLiteral("QProgressBar { border: none; background: white; }"
                                         "QProgressBar::chunk { background: %1; }")
                              .arg(kAccent.name()));

  if (const QScreen* screen = this->screen())
    move(CentredLeft(screen->geometry().width(), kFormWidth), 0);

  // Linux has no platform version for the caption rule: it gets 0.0, so the caption is the title.
  setWindowTitle(QString::fromStdString(CaptionForVersion(0, 0)));
}

void TFormMain::ShowProgress(int percent) {
  Progress->setMaximum(100);
  Progress->setValue(percent);
}

QString TFormMain::HistoryStatus() const { return Panel1->accessibleDescription(); }

void TFormMain::ShowHistoryStatus(const QString& status) {
  // The status quotes a path and SQLite's words: the tooltip escapes them, the description for
  // screen readers keeps them plain.
  Panel1->setToolTip(THostListModel::TipText(status));
  Panel1->setAccessibleDescription(status);
}

void TFormMain::VirtualStringTree1NodeClick(const QModelIndex& index) {
  m_session->OpenListRow(index.row());
}

int TFormMain::AvailableHeight() const {
  const QScreen* screen = this->screen();
  return screen ? screen->availableGeometry().height() : 0;
}

int TFormMain::OuterHeight() const { return frameGeometry().height(); }

int TFormMain::OuterWidth() const { return frameGeometry().width(); }

void TFormMain::SetOuterHeight(int height) {
  const int frameExtra = frameGeometry().height() - this->height();
  resize(this->width(), std::max(1, height - frameExtra));
}

void TFormMain::closeEvent(QCloseEvent* event) {
  // The window goes at once; the session stops the scan, and ends the process at once should a
  // pass still run.
  hide();
  m_session->Close();
  QWidget::closeEvent(event);
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event) {
  // Enter (and Return) on the current row opens its page as a click does: keyboard users have
  // no other way to it.
  if (watched == VirtualStringTree1 && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    const QModelIndex current = VirtualStringTree1->currentIndex();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && current.isValid()) {
      VirtualStringTree1NodeClick(current);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TFormMain::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int frameExtra = frameGeometry().width() - width();
  if (OuterWidth() != kFormWidth) {
    resize(kFormWidth - frameExtra, height());
    return;
  }
  LayoutChildren();
}

}  // namespace app
