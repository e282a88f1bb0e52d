// The real dialogs, driven the way a person would: find the modal window, read it, press a button.
#include "platform/AlertPresenter.h"

#include <QApplication>
#include <QDialog>
#include <QFormLayout>
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
        Alert alert{QStringLiteral("Sign-in failed"),
                    QStringLiteral("<b>bold</b> & <a href='x'>link</a>"),
                    {QStringLiteral("Open download page"), QStringLiteral("Later")}};
        alert.severity = Alert::Severity::Warning;
        QStringList seen;
        bool defaultIsFirst = false;
        bool headlineStandsOut = false;
        int width = 0;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool hasWindowIcon = false;
        whenModal([&](QWidget* window) {
            QFont headline;
            QFont informative;
            for (const QLabel* label : window->findChildren<QLabel*>()) {
                if (!label->text().isEmpty() && label->textFormat() == Qt::PlainText) {
                    seen << label->text();
                    (label->text() == alert.message ? headline : informative) = label->font();
                }
            }
            headlineStandsOut =
                headline.bold() && !informative.bold() && headline.pointSizeF() > informative.pointSizeF();
            width = window->width();
            icon = qobject_cast<QMessageBox*>(window)->icon();
            hasWindowIcon = !window->windowIcon().isNull();
            QPushButton* first = buttonTitled(window, QStringLiteral("Open download page"));
            defaultIsFirst = first && first->isDefault();
            buttonTitled(window, QStringLiteral("Later"))->click();
        });
        QCOMPARE(m_presenter->run(alert), 1);
        QVERIFY(seen.contains(alert.message));
        QVERIFY(seen.contains(alert.informative));
        QVERIFY(defaultIsFirst);
        QVERIFY(headlineStandsOut);
        QCOMPARE(icon, QMessageBox::Warning);
        QVERIFY(hasWindowIcon);

        whenModal([](QWidget* window) { buttonTitled(window, QStringLiteral("Open download page"))->click(); });
        QCOMPARE(m_presenter->run(alert), 0);

        // Without buttons of its own an alert has the single default one; a short alert keeps a
        // width at which title bars do not cut the window title.
        whenModal([&](QWidget* window) {
            width = window->width();
            icon = qobject_cast<QMessageBox*>(window)->icon();
            qobject_cast<QMessageBox*>(window)->defaultButton()->click();
        });
        QCOMPARE(m_presenter->run({QStringLiteral("Up to date"), QStringLiteral("Latest."), {}}), 0);
        QCOMPARE(icon, QMessageBox::Information);
        QVERIFY2(width >= 360, qPrintable(QString::number(width)));
    }

    void signInDialogReturnsWhatWasTyped() {
        QStringList labels;
        QString offered;
        bool masked = false;
        bool signInIsDefault = false;
        bool startsAtPassword = false;
        QList<bool> enabled;
        bool returnInEmailMovesOn = false;
        whenModal([&](QWidget* window) {
            const QList<QLineEdit*> fields = window->findChildren<QLineEdit*>();
            QCOMPARE(fields.size(), 2);
            QLineEdit* email = fields[0];
            QLineEdit* password = fields[1];
            const auto* form = window->findChild<QFormLayout*>();
            for (QLineEdit* field : fields) {
                const auto* label = form ? qobject_cast<QLabel*>(form->labelForField(field)) : nullptr;
                labels << (label ? label->text() : QString());
            }
            offered = email->text();
            startsAtPassword = window->focusWidget() == password;
            QPushButton* signIn = buttonTitled(window, QStringLiteral("Sign in"));
            enabled << signIn->isEnabled();
            QTest::keyClicks(password, QStringLiteral("s3cret"));
            enabled << signIn->isEnabled();
            email->setText(QStringLiteral(" \t "));
            enabled << signIn->isEnabled();
            email->clear();
            QTest::keyClicks(email, QStringLiteral("bo@example.test"));
            enabled << signIn->isEnabled();
            QTest::keyClick(email, Qt::Key_Return);
            returnInEmailMovesOn = window->isVisible() && window->focusWidget() == password;
            masked = password->echoMode() == QLineEdit::Password && email->echoMode() == QLineEdit::Normal;
            signInIsDefault = signIn->isDefault();
            signIn->click();
        });
        const auto entry = m_presenter->askSignIn(QStringLiteral("Sign in to Orvelquin"), QStringLiteral("Use it."),
                                                  QStringLiteral("ana@example.test"));
        QVERIFY(entry);
        QCOMPARE(entry->email, QStringLiteral("bo@example.test"));
        QCOMPARE(entry->password, QStringLiteral("s3cret"));
        QCOMPARE(labels, QStringList({QStringLiteral("Email"), QStringLiteral("Password")}));
        QCOMPARE(offered, QStringLiteral("ana@example.test"));
        QVERIFY(startsAtPassword);
        // Empty password, then a blank e-mail address, keep "Sign in" off.
        QCOMPARE(enabled, QList<bool>({false, true, false, true}));
        QVERIFY(returnInEmailMovesOn);
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
