#include "Watcher.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    Watcher watcher;
    if (!watcher.start()) {
        std::fprintf(stderr, "orvelquin-bench-watcher: cannot own org.kde.StatusNotifierWatcher on the session bus\n");
        return 1;
    }
    return QCoreApplication::exec();
}
