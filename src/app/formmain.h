#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>

#include "app/scansession.h"

class QLabel;
class QProgressBar;
class QTreeView;

namespace app {

inline constexpr int kFormWidth = 828;   // outer width; the window snaps back to it
inline constexpr int kFormHeight = 486;  // outer height at start
inline constexpr int kPanelHeight = 73;
inline constexpr int kProgressHeight = 9;
inline constexpr int kRowStep = 19;      // the window grows by this much per listed row
inline constexpr int kBaseHeight = 120;  // outer height with the first row
inline constexpr int kListRowHeight = 18;
inline constexpr const char* kProgramTitle = "quenZOR";

// The caption for a platform version: empty from version 6.2 and 6.3 on (major above 5 and
// minor above 1, both), "quenZOR" otherwise. Linux reports version 0.0.
std::string CaptionForVersion(int major, int minor);

// The window's left edge for a screen width: centred, each half truncated toward zero.
int CentredLeft(int screenWidth, int windowWidth);

// The window's outer height with `displayedCount` rows listed before the next one: 19 pixels per
// row from 120, stopping at the screen's available height (the list scrolls from there).
int OuterHeightForRows(int32_t displayedCount, int availableHeight);

// An error message as the message box shows it: a "." is added when the last character sorts
// after ".".
std::string ErrorBoxText(const std::string& message);

// Shows an error that escaped a handler: a modal box with the caption "quenZOR".
void ShowErrorBox(QWidget* parent, const std::string& message);

// The program's one window: header panel with title and progress bar, and the result list of
// its scan session, which it creates. The window lays out, grows as rows arrive, opens a row's
// page on a click or Enter, and shows how the history stands; the session does the rest.
class TFormMain : public QWidget {
  Q_OBJECT

 public:
  explicit TFormMain(TSessionServices services = {}, QWidget* parent = nullptr);
  ~TFormMain() override;

  // The outer (frame) height and width of the window.
  int OuterHeight() const;
  int OuterWidth() const;

  // What the window says about the history, as plain text (the header's tooltip shows it escaped
  // and its accessible description as it is).
  QString HistoryStatus() const;
  TScanSession& Session() { return *m_session; }

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void FormCreate();
  void CreateComponents();
  void CreateList();
  void CreatePanel(const QPalette& palette);
  void ConnectSession();
  void LayoutChildren();
  void VirtualStringTree1NodeClick(const QModelIndex& index);
  void SetOuterHeight(int height);
  int AvailableHeight() const;
  void ShowProgress(int percent);
  void ShowHistoryStatus(const QString& status);

  std::unique_ptr<TScanSession> m_session;
  // Components, named as the window declares them.
  QTreeView* VirtualStringTree1 = nullptr;
  QWidget* Panel1 = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QProgressBar* Progress = nullptr;
};

}  // namespace app
