#include "app/StatusMenu.h"

#include <QAction>
#include <QHash>
#include <QKeyEvent>
#include <QMenu>

namespace orvelquin {
namespace {

// A stable identity for each composed item, so that an item keeps its QAction (and its exported
// id) across states: actions by what they do, information lines by their position among
// information lines (their set never changes), separators by what precedes them.
QList<QString> keysOf(const QList<MenuItem>& items) {
    QList<QString> keys;
    keys.reserve(items.size());
    int information = 0;
    QString previous = QStringLiteral("top");
    for (const MenuItem& item : items) {
        QString key;
        if (item.separator) {
            key = QStringLiteral("separator after ") + previous;
        } else if (item.action == MenuAction::None) {
            key = QStringLiteral("line ") + QString::number(information++);
        } else {
            key = QStringLiteral("action ") + QString::number(static_cast<int>(item.action));
        }
        keys << key;
        previous = key;
    }
    return keys;
}

} // namespace

QString escapeMenuTitle(const QString& text, LabelSyntax syntax) {
    QString escaped = text;
    switch (syntax) {
    case LabelSyntax::Widgets:
        escaped.replace(u'&', QStringLiteral("&&"));
        break;
    case LabelSyntax::DBusMenu: {
        escaped.replace(u'_', QStringLiteral("__"));
        // Qt's exporter rewrites only the first '&' into the '_' marker; doubled, that becomes
        // "_&", which hosts draw as a plain '&'. Later ampersands pass through literally.
        const qsizetype first = escaped.indexOf(u'&');
        if (first >= 0) {
            escaped.insert(first, u'&');
        }
        break;
    }
    }
    return escaped;
}

StatusMenu::StatusMenu(LabelSyntax syntax, QObject* parent)
    : QObject(parent)
    , m_menu(std::make_unique<QMenu>())
    , m_syntax(syntax) {
    m_menu->installEventFilter(this);
}

StatusMenu::~StatusMenu() = default;

bool StatusMenu::eventFilter(QObject* watched, QEvent* event) {
    // An open popup menu takes the keyboard, and Qt matches an action's shortcut only within
    // its window, which a parentless menu is not; so the key equivalents the menu shows are
    // matched here, for as long as the menu the agent draws itself is open.
    if (watched != m_menu.get() || event->type() != QEvent::KeyPress) {
        return false;
    }
    const auto* key = static_cast<QKeyEvent*>(event);
    const QKeySequence pressed(key->keyCombination());
    for (QAction* action : m_menu->actions()) {
        if (!action->shortcut().isEmpty() && action->shortcut() == pressed && action->isEnabled()) {
            m_menu->close();
            action->trigger();
            return true;
        }
    }
    return false;
}

void StatusMenu::setSyntax(LabelSyntax syntax) {
    if (m_syntax == syntax) {
        return;
    }
    m_syntax = syntax;
    for (Entry& entry : m_entries) {
        if (!entry.item.separator) {
            entry.action->setText(escapeMenuTitle(entry.item.title, m_syntax));
        }
    }
}

QList<QAction*> StatusMenu::actions() const {
    return m_menu->actions();
}

void StatusMenu::update(Entry& entry, const MenuItem& item) {
    // Each setter is compared first: an unchanged property must not be announced to the panel.
    QAction* action = entry.action;
    const QString title = escapeMenuTitle(item.title, m_syntax);
    if (action->text() != title) {
        action->setText(title);
    }
    if (action->isEnabled() != item.enabled) {
        action->setEnabled(item.enabled);
    }
    if (action->shortcut() != item.shortcut) {
        action->setShortcut(item.shortcut);
    }
    if (action->isCheckable() != item.checkable) {
        action->setCheckable(item.checkable);
    }
    if (action->isChecked() != item.checked) {
        action->setChecked(item.checked);
    }
    entry.item = item;
}

void StatusMenu::apply(const QList<MenuItem>& items) {
    const QList<QString> keys = keysOf(items);

    QHash<QString, Entry> kept;
    for (Entry& entry : m_entries) {
        if (keys.contains(entry.key)) {
            kept.insert(entry.key, entry);
        } else {
            m_menu->removeAction(entry.action);
            delete entry.action;
        }
    }

    QList<Entry> entries;
    entries.reserve(items.size());
    for (qsizetype i = 0; i < items.size(); ++i) {
        const MenuItem& item = items[i];
        auto found = kept.find(keys[i]);
        if (found == kept.end()) {
            auto* action = new QAction(m_menu.get());
            if (item.separator) {
                action->setSeparator(true);
            } else {
                action->setIconVisibleInMenu(false);
            }
            Entry entry{keys[i], {}, action};
            entry.item.separator = item.separator;
            found = kept.insert(keys[i], entry);
            if (!item.separator) {
                // Queued, so that a modal dialog opened by the action does not run inside the
                // menu's own event handling (or inside the D-Bus call of a panel's click).
                // An action's key names what it does, so the connection stays right for its life.
                const MenuAction what = item.action;
                connect(
                    action, &QAction::triggered, this, [this, what] { Q_EMIT triggered(what); }, Qt::QueuedConnection);
            }
        }
        if (!item.separator) {
            update(*found, item);
        }
        entries << *found;
    }

    // Bring the menu's order to the composed one, moving only what is out of place.
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QList<QAction*> now = m_menu->actions();
        if (i < now.size() && now[i] == entries[i].action) {
            continue;
        }
        m_menu->insertAction(i < now.size() ? now[i] : nullptr, entries[i].action);
    }
    m_entries = std::move(entries);
}

} // namespace orvelquin
