// The real dialogs, driven the way a person would: find the modal window, read it, press a button.
#include "platform/AlertPresenter.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace orvelquin::platform;

namespace {

// Runs `act` on the modal window once it is up; the dialog's own event loop keeps running.
void whenModal(std::function<void(QWidget*)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            act(modal);
        }
    });
    poll->start(10);
}

QPushButton* buttonTitled(QWidget* window, const QString& title) {
    for (QPushButton* button : window->findChildren<QPushButton*>()) {
        if (button->text().remove(u'&') == title) {
            return button;
        }
    }
    return nullptr;
}

} // namespace

class TestAlertPresenter : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<AlertPresenter> m_presenter = createAlertPresenter();

private Q_SLOTS:
    void alertShowsItsTextsAsWrittenAndReportsTheButton() {
        const Alert alert{QStringLiteral("Sign-in failed"),
                          QStringLiteral("<b>bold</b> & <a href='x'>link</a>"),
                          {QStringLiteral("Open download page"), QStringLiteral("Later")}};
        QStringList seen;
        bool defaultIsFirst = false;
        whenModal([&](QWidget* window) {
            for (const QLabel* label : window->findChildren<QLabel*>()) {
                if (!label->text().isEmpty() && label->textFormat() == Qt::PlainText) {
                    seen << label->text();
                }
            }
            QPushButton* first = buttonTitled(window, QStringLiteral("Open download page"));
            defaultIsFirst = first && first->isDefault();
            buttonTitled(window, QStringLiteral("Later"))->click();
        });
        QCOMPARE(m_presenter->run(alert), 1);
        QVERIFY(seen.contains(alert.message));
        QVERIFY(seen.contains(alert.informative));
        QVERIFY(defaultIsFirst);

        whenModal([](QWidget* window) { buttonTitled(window, QStringLiteral("Open download page"))->click(); });
        QCOMPARE(m_presenter->run(alert), 0);

        // Without buttons of its own an alert has the single default one.
        whenModal([](QWidget* window) { qobject_cast<QMessageBox*>(window)->defaultButton()->click(); });
        QCOMPARE(m_presenter->run({QStringLiteral("Up to date"), QStringLiteral("Latest."), {}}), 0);
    }

    void signInDialogReturnsWhatWasTyped() {
        bool masked = false;
        bool signInIsDefault = false;
        whenModal([&](QWidget* window) {
            const QList<QLineEdit*> fields = window->findChildren<QLineEdit*>();
            QCOMPARE(fields.size(), 2);
            QTest::keyClicks(fields[0], QStringLiteral("ana@example.test"));
            QTest::keyClicks(fields[1], QStringLiteral("s3cret"));
            masked = fields[1]->echoMode() == QLineEdit::Password && fields[0]->echoMode() == QLineEdit::Normal;
            signInIsDefault = buttonTitled(window, QStringLiteral("Sign in"))->isDefault();
            buttonTitled(window, QStringLiteral("Sign in"))->click();
        });
        const auto entry = m_presenter->askSignIn(QStringLiteral("Sign in to Orvelquin"), QStringLiteral("Use it."));
        QVERIFY(entry);
        QCOMPARE(entry->email, QStringLiteral("ana@example.test"));
        QCOMPARE(entry->password, QStringLiteral("s3cret"));
        QVERIFY(masked);
        QVERIFY(signInIsDefault);

        whenModal([](QWidget* window) { buttonTitled(window, QStringLiteral("Cancel"))->click(); });
        QVERIFY(!m_presenter->askSignIn(QStringLiteral("Sign in"), QString()));

        // Closing the window is a cancel too.
        whenModal([](QWidget* window) { qobject_cast<QDialog*>(window)->reject(); });
        QVERIFY(!m_presenter->askSignIn(QStringLiteral("Sign in"), QString()));
    }
};

QTEST_MAIN(TestAlertPresenter)
#include "tst_alertpresenter.moc"
