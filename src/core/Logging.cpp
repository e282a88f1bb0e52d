#include "core/Logging.h"

namespace orvelquin {

// QtWarningMsg leaves debug and info off until a logging rule turns them on.
Q_LOGGING_CATEGORY(lcLock, "orvelquin.lock", QtWarningMsg)
Q_LOGGING_CATEGORY(lcKeychain, "orvelquin.keychain", QtWarningMsg)
Q_LOGGING_CATEGORY(lcService, "orvelquin.service", QtWarningMsg)
Q_LOGGING_CATEGORY(lcHeartbeat, "orvelquin.heartbeat", QtWarningMsg)
Q_LOGGING_CATEGORY(lcRuntime, "orvelquin.runtime", QtWarningMsg)
Q_LOGGING_CATEGORY(lcTray, "orvelquin.tray", QtWarningMsg)

} // namespace orvelquin
