#pragma once

#include <QLoggingCategory>

namespace netinfo {

// Why an address got no ARP answer or a socket call of the lookup failed: off by default, on
// with QT_LOGGING_RULES='quenzor.arp=true'.
Q_DECLARE_LOGGING_CATEGORY(lcArp)

}  // namespace netinfo
