#pragma once

#include <QObject>

namespace orvelquin::platform {

// Turns the signals that ask a desktop program to end (logout, kill, Ctrl-C) into one Qt signal
// delivered by the event loop, so that shutdown runs the same orderly path as "Quit".
class ShutdownSignals : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ShutdownSignals)

public:
    explicit ShutdownSignals(QObject* parent = nullptr);
    ~ShutdownSignals() override;

Q_SIGNALS:
    void shutdownRequested();

private:
    void drain();
    int m_readFd = -1;
};

} // namespace orvelquin::platform
