#include "http/diagnostics.h"

namespace http {

Q_LOGGING_CATEGORY(lcHttp, "quenzor.http", QtWarningMsg)

}  // namespace http
