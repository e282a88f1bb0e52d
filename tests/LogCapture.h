#pragma once

#include <QLoggingCategory>
#include <QStringList>

// What the agent's logging categories write while one of these lives, with all of them turned on,
// so a test can check what a bug report would show and that no secret is in it. Other messages
// go on to the handler that was there before.
class LogCapture {
    inline static QStringList s_lines;
    inline static QtMessageHandler s_previous = nullptr;

public:
    LogCapture() {
        QLoggingCategory::setFilterRules(QStringLiteral("orvelquin.*.debug=true"));
        s_previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
            QByteArrayView(context.category).startsWith("orvelquin.")
                ? s_lines.append(QString::fromLatin1(context.category) + u' ' + text)
                : s_previous(type, context, text);
        });
    }
    ~LogCapture() { qInstallMessageHandler(s_previous), QLoggingCategory::setFilterRules(QString()), s_lines.clear(); }
    Q_DISABLE_COPY_MOVE(LogCapture)
    QString text() const { return s_lines.join(u'\n'); }
};
