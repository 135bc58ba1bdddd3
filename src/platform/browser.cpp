#include "platform/browser.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QProcess>
#include <QString>
#include <QUrl>

namespace platform {

namespace {

// Platform plugins without desktop services refuse (and complain on stderr).
bool HasDesktopServices() {
  const QString platform = QGuiApplication::platformName();
  return platform != QLatin1String("offscreen") && platform != QLatin1String("minimal");
}

}  // namespace

void OpenUrl(const std::string& url) {
  const QUrl target(QString::fromStdString(url));
  if (HasDesktopServices() && QDesktopServices::openUrl(target)) return;
  // Without them, ask the desktop's handler directly, as the window system's service would.
  QProcess::startDetached(QStringLiteral("xdg-open"), {target.toString()});
}

}  // namespace platform
