#pragma once

#include "app/MenuModel.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QAction;
class QMenu;

namespace orvelquin {

// How a host reads a menu title: Qt draws '&' as a mnemonic marker, dbusmenu hosts read '_' as
// one and Qt's exporter turns the first '&' into '_'.
enum class LabelSyntax { Widgets, DBusMenu };

// A title as the given syntax must carry it so that the host shows exactly `text`.
QString escapeMenuTitle(const QString& text, LabelSyntax syntax);

// One QMenu for the life of the process, brought to each composed state in place. Panels bind to
// the first menu the tray icon exports and follow only that menu's change signals, so replacing
// the QMenu would freeze them at its first version; updating it keeps every unchanged item's id.
class StatusMenu : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatusMenu)

public:
    explicit StatusMenu(LabelSyntax syntax, QObject* parent = nullptr);
    ~StatusMenu() override;

    QMenu* menu() const { return m_menu.get(); }
    LabelSyntax syntax() const { return m_syntax; }
    // Re-escapes every title; the composed items stay as they are.
    void setSyntax(LabelSyntax syntax);
    void apply(const QList<MenuItem>& items);
    // The actions in menu order, for tests and tools.
    QList<QAction*> actions() const;

Q_SIGNALS:
    void triggered(MenuAction action);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        QString key;
        MenuItem item;
        QAction* action;
    };
    void update(Entry& entry, const MenuItem& item);

    std::unique_ptr<QMenu> m_menu;
    LabelSyntax m_syntax;
    QList<Entry> m_entries;
};

} // namespace orvelquin
