#pragma once

#include <QLoggingCategory>

namespace http {

// Why an exchange or a socket operation failed ("quenzor.http"), for whoever looks: quiet
// unless asked for, with QT_LOGGING_RULES='quenzor.*=true' for instance. Only codes and our
// own texts go here, never bytes a device sent.
inline Q_LOGGING_CATEGORY(lcHttp, "quenzor.http", QtWarningMsg);

}  // namespace http
