#pragma once

#include <QLoggingCategory>

// One category per area, silent by default: the agent writes nothing unless asked, for example
// with QT_LOGGING_RULES="orvelquin.*.debug=true". Only qCDebug is used, and never with a secret.
namespace orvelquin {

Q_DECLARE_LOGGING_CATEGORY(lcLock)
Q_DECLARE_LOGGING_CATEGORY(lcKeychain)
Q_DECLARE_LOGGING_CATEGORY(lcService)
Q_DECLARE_LOGGING_CATEGORY(lcHeartbeat)
Q_DECLARE_LOGGING_CATEGORY(lcRuntime)
Q_DECLARE_LOGGING_CATEGORY(lcTray)

} // namespace orvelquin
