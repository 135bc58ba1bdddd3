#include "platform/browser.h"

#include <QDesktopServices>
#include <QProcess>
#include <QString>
#include <QUrl>

namespace platform {

void OpenUrl(const std::string& url) {
  const QUrl target(QString::fromStdString(url));
  if (QDesktopServices::openUrl(target)) return;
  // Platform plugins without desktop services (offscreen, minimal) refuse: ask the desktop's
  // handler directly, as the window system's own service would.
  QProcess::startDetached(QStringLiteral("xdg-open"), {target.toString()});
}

}  // namespace platform
