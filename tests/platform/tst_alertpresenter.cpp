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
    // Texts shown as written, never as markup; the first button is the default; the headline
    // stands out; without buttons of its own an alert has the single default one; a short alert
    // keeps a width at which title bars do not cut the window title.
    void alert_data() {
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<QString>("press");
        QTest::addColumn<int>("result");
        const QStringList two = {QStringLiteral("Open download page"), QStringLiteral("Later")};
        QTest::newRow("second button") << two << two[1] << 1;
        QTest::newRow("first button") << two << two[0] << 0;
        QTest::newRow("no buttons of its own") << QStringList() << QString() << 0;
    }

    void alert() {
        QFETCH(QStringList, buttons);
        QFETCH(QString, press);
        QFETCH(int, result);
        Alert alert{QStringLiteral("Sign-in failed"), QStringLiteral("<b>bold</b> & <a href='x'>link</a>"), buttons};
        alert.severity = buttons.isEmpty() ? Alert::Severity::Information : Alert::Severity::Warning;
        QStringList seen;
        bool looksRight = false;
        whenModal([&](QWidget* window) {
            QFont headline, informative;
            for (const QLabel* label : window->findChildren<QLabel*>()) {
                if (!label->text().isEmpty() && label->textFormat() == Qt::PlainText) {
                    seen << label->text();
                    (label->text() == alert.message ? headline : informative) = label->font();
                }
            }
            auto* box = qobject_cast<QMessageBox*>(window);
            QPushButton* def = box->defaultButton();
            looksRight = headline.bold() && !informative.bold() && headline.pointSizeF() > informative.pointSizeF() &&
                         window->width() >= 360 && !window->windowIcon().isNull() && def &&
                         def->text().remove(u'&') == buttons.value(0, def->text()) &&
                         box->icon() == (buttons.isEmpty() ? QMessageBox::Information : QMessageBox::Warning);
            (press.isEmpty() ? def : buttonTitled(window, press))->click();
        });
        QCOMPARE(m_presenter->run(alert), result);
        QCOMPARE(seen, QStringList({alert.message, alert.informative}));
        QVERIFY(looksRight);
    }

    // The entry is what was typed; cancelling or closing the window gives none.
    void signIn_data() {
        QTest::addColumn<QString>("ending");
        QTest::newRow("signed in") << QStringLiteral("Sign in");
        QTest::newRow("cancelled") << QStringLiteral("Cancel");
        QTest::newRow("window closed") << QString();
    }

    void signIn() {
        QFETCH(QString, ending);
        QStringList labels;
        QList<bool> enabled;
        bool looksRight = false;
        whenModal([&](QWidget* window) {
            const QList<QLineEdit*> fields = window->findChildren<QLineEdit*>();
            if (fields.size() != 2) {
                return qobject_cast<QDialog*>(window)->reject();
            }
            QLineEdit* email = fields[0];
            QLineEdit* password = fields[1];
            const auto* form = window->findChild<QFormLayout*>();
            for (QLineEdit* field : fields) {
                const auto* label = form ? qobject_cast<QLabel*>(form->labelForField(field)) : nullptr;
                labels << (label ? label->text() : QString());
            }
            labels << email->text(); // the address offered
            const bool startsAtPassword = window->focusWidget() == password;
            QPushButton* signIn = buttonTitled(window, QStringLiteral("Sign in"));
            // An empty password, then a blank e-mail address, keep "Sign in" off.
            enabled << signIn->isEnabled();
            QTest::keyClicks(password, QStringLiteral("s3cret"));
            enabled << signIn->isEnabled();
            email->setText(QStringLiteral(" \t "));
            enabled << signIn->isEnabled();
            email->clear();
            QTest::keyClicks(email, QStringLiteral("bo@example.test"));
            enabled << signIn->isEnabled();
            QTest::keyClick(email, Qt::Key_Return); // moves on to the password, does not submit
            looksRight = startsAtPassword && window->isVisible() && window->focusWidget() == password &&
                         password->echoMode() == QLineEdit::Password && email->echoMode() == QLineEdit::Normal &&
                         signIn->isDefault();
            ending.isEmpty() ? qobject_cast<QDialog*>(window)->reject() : buttonTitled(window, ending)->click();
        });
        const auto entry = m_presenter->askSignIn(QStringLiteral("Sign in to Orvelquin"), QStringLiteral("Use it."),
                                                  QStringLiteral("ana@example.test"));
        QCOMPARE(labels, QStringList({QStringLiteral("Email"), QStringLiteral("Password"),
                                      QStringLiteral("ana@example.test")}));
        QCOMPARE(enabled, QList<bool>({false, true, false, true}));
        QVERIFY(looksRight);
        QCOMPARE(entry ? entry->email + u'|' + entry->password : QStringLiteral("none"),
                 ending == u"Sign in" ? QStringLiteral("bo@example.test|s3cret") : QStringLiteral("none"));
    }
};

QTEST_MAIN(TestAlertPresenter)
#include "tst_alertpresenter.moc"
