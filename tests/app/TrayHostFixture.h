#pragma once

// A minimal desktop shell for tests: the watcher takes the registrations, and a client reads
// and clicks an item's exported menu through com.canonical.dbusmenu, as a panel does.
#include "StatusNotifierWatcher.h"

#include <QList>
#include <QString>

struct TrayMenuEntry {
    int id = 0;
    QString label; // mnemonic markers removed
    QString type;  // "separator" or empty
    bool enabled = true;
    bool visible = true;
    int toggleState = -1; // 1 checked, 0 unchecked, -1 not checkable
    QString shortcut;     // e.g. "Control+R"
};

// One registered item as a panel sees it: "<bus name>" or "<bus name>/<object path>".
class TrayItemClient {
public:
    explicit TrayItemClient(const QString& registration);

    QString menuPath() const;
    QList<TrayMenuEntry> menu() const; // the top level, in order
    bool click(int id) const;
    bool clickLabel(const QString& label) const;
    QStringList labels() const; // separators as "---", hidden entries left out

private:
    QString m_service;
    QString m_path;
};
