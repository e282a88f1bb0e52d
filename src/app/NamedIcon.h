#pragma once

#include <QIcon>
#include <QString>

namespace orvelquin {

// An icon that reports `name` as its theme name whatever draws it. Qt publishes a status icon's
// name only when the theme loader found it, so an agent running uninstalled (or on a desktop
// whose theme search skips hicolor) would send pixmaps alone, and no host could recolour it.
QIcon namedIcon(const QString& name, const QIcon& drawn);

} // namespace orvelquin
