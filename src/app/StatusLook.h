#pragma once

#include "app/MenuModel.h"

#include <QString>

namespace orvelquin {

// The status icon's look and tooltip, derived from the same state as the menu so that both
// always agree and change exactly when the state does.
struct StatusLook {
    enum class Icon { Connected, Attention, SignedOut };
    Icon icon = Icon::SignedOut;
    QString toolTip;

    bool operator==(const StatusLook&) const = default;
};

StatusLook statusLook(const MenuState& state);

// The themed (symbolic) icon name of a look, published so that hosts can recolour it.
QString iconName(StatusLook::Icon icon);

} // namespace orvelquin
