#pragma once

#include <QByteArray>
#include <QProcessEnvironment>

namespace orvelquin::platform {

// The Qt platform plugin the agent's dialogs should use where Qt's own choice looks foreign;
// empty to leave the choice to Qt. Read before the application object exists.
QByteArray preferredWindowSystem(const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());

} // namespace orvelquin::platform
