#pragma once

namespace orvelquin::platform {

// Makes the status item that this process shows over D-Bus say that it is only a menu
// (StatusNotifierItem's ItemIsMenu), so that hosts open the menu themselves on a primary click.
// Qt's item always says otherwise, and an agent cannot pop a menu up at the right place on every
// desktop (Wayland gives a client neither the pointer's position nor a parentless popup). Does
// nothing where the item is not on D-Bus; returns whether the item now says so.
bool declareStatusItemMenuOnly();

} // namespace orvelquin::platform
