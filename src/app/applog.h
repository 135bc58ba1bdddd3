#pragma once

#include <QLoggingCategory>

namespace app {

// The window's diagnostics ("quenzor.app"): debug and info lines stay quiet unless asked for,
// with QT_LOGGING_RULES='quenzor.*=true' for instance. Inline, so the category's one static
// object is shared by every file that logs without a source file of its own.
inline Q_LOGGING_CATEGORY(lcApp, "quenzor.app", QtWarningMsg);

}  // namespace app
