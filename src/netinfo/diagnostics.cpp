#include "netinfo/diagnostics.h"

namespace netinfo {

Q_LOGGING_CATEGORY(lcArp, "quenzor.arp", QtWarningMsg)

}  // namespace netinfo
