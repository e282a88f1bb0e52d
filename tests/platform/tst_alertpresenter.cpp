// The real dialogs, driven the way a person would: find the modal window, read it, press keys.
#include "platform/AlertPresenter.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class TestAlertPresenter : public QObject {
    Q_OBJECT

    std::unique_ptr<orvelquin::platform::AlertPresenter> m_presenter = orvelquin::platform::createAlertPresenter();

private Q_SLOTS:
    // Return takes the first button, Escape the last, or the single OK of an alert without its own.
    void alert_data() {
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("pressed");
        QTest::newRow("Return") << QStringList{u"Open"_s, u"Later"_s} << int(Qt::Key_Return) << 0;
        QTest::newRow("Escape") << QStringList{u"Open"_s, u"Later"_s} << int(Qt::Key_Escape) << 1;
        QTest::newRow("Escape, OK only") << QStringList() << int(Qt::Key_Escape) << 0;
    }

    void alert() {
        QFETCH(QStringList, buttons);
        QFETCH(int, key);
        QStringList shown;
        QTimer::singleShot(0, this, [&] {
            QWidget* window = QApplication::activeModalWidget(); // the dialog's own event loop runs this
            // Texts may carry a service's error detail: shown as written, never as markup.
            for (const QLabel* label : window->findChildren<QLabel*>()) {
                shown << (label->textFormat() == Qt::PlainText ? label->text() : QString());
            }
            shown.removeAll(QString());
            QTest::keyClick(window, Qt::Key(key));
        });
        QTEST(m_presenter->run({u"Failed"_s, u"<b>bold</b> & <a href='x'>link</a>"_s, buttons}), "pressed");
        QCOMPARE(shown, QStringList({u"Failed"_s, u"<b>bold</b> & <a href='x'>link</a>"_s}));
    }

    // The address offered leaves the cursor in the password field. Return there signs in, only
    // while neither field is blank; in the e-mail field it moves on.
    void signIn() {
        QList<bool> stays;
        QTimer::singleShot(0, this, [&] {
            QWidget* window = QApplication::activeModalWidget();
            QLineEdit* email = window->findChildren<QLineEdit*>().at(0);
            QLineEdit* password = window->findChildren<QLineEdit*>().at(1);
            const auto returnIn = [&](QLineEdit* field) {
                QTest::keyClick(field, Qt::Key_Return);
                stays << (window->isVisible() && window->focusWidget() == password);
            };
            returnIn(password); // no password yet
            QTest::keyClicks(password, u"s3cret"_s), email->setText(u" \t "_s);
            returnIn(password); // a blank address
            email->clear(), QTest::keyClicks(email, u"bo@example.test"_s);
            returnIn(email);
            QTest::keyClick(password, Qt::Key_Return);
        });
        const auto entry = m_presenter->askSignIn(u"Sign in"_s, u"Use it."_s, u"ana@example.test"_s);
        QCOMPARE(stays, QList<bool>(3, true));
        QCOMPARE(entry ? entry->email + u'|' + entry->password : u"none"_s, u"bo@example.test|s3cret"_s);
    }
};

QTEST_MAIN(TestAlertPresenter)
#include "tst_alertpresenter.moc"
