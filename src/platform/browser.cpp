#include "platform/browser.h"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

namespace platform {

void OpenUrl(const std::string& url) {
  QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
}

}  // namespace platform
