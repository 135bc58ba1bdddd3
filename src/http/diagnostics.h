#pragma once

#include <QLoggingCategory>

namespace http {

// Why an exchange or a socket operation failed, for whoever looks: off by default, on with
// QT_LOGGING_RULES='quenzor.http=true'. Only codes and our own texts go here, never bytes a
// device sent.
Q_DECLARE_LOGGING_CATEGORY(lcHttp)

}  // namespace http
