#pragma once

#include <QLoggingCategory>

namespace netinfo {

// Why an address got no ARP answer or a socket call of the lookup failed ("quenzor.arp"):
// quiet unless asked for, with QT_LOGGING_RULES='quenzor.*=true' for instance.
inline Q_LOGGING_CATEGORY(lcArp, "quenzor.arp", QtWarningMsg);

}  // namespace netinfo
