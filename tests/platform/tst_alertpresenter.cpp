// The real dialogs, driven the way a person would: find the modal window, read it, press keys.
#include "platform/AlertPresenter.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTimer>

using namespace orvelquin::platform;
using namespace Qt::StringLiterals;

namespace {

// Runs `act` on the modal window once the dialog's own event loop shows it.
template <typename Act> void whenModal(Act act) {
    QTimer::singleShot(10, [act] {
        QWidget* modal = QApplication::activeModalWidget();
        modal ? act(modal) : whenModal(act);
    });
}

// Texts may carry a service's error detail: shown as written, never as markup.
QStringList plainTexts(const QWidget* window) {
    QStringList texts;
    for (const QLabel* label : window->findChildren<QLabel*>()) {
        if (label->textFormat() == Qt::PlainText && !label->text().isEmpty()) {
            texts << label->text();
        }
    }
    return texts;
}

const QString markup = u"<b>bold</b> & <a href='x'>link</a>"_s;

} // namespace

class TestAlertPresenter : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<AlertPresenter> m_presenter = createAlertPresenter();

private Q_SLOTS:
    // Return takes the first button, Escape the last, or the single OK of an alert without its own.
    void alert_data() {
        QTest::addColumn<QStringList>("buttons");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("pressed");
        const QStringList two = {u"Open download page"_s, u"Later"_s};
        QTest::newRow("Return") << two << int(Qt::Key_Return) << 0;
        QTest::newRow("Escape") << two << int(Qt::Key_Escape) << 1;
        QTest::newRow("Escape, OK only") << QStringList() << int(Qt::Key_Escape) << 0;
    }

    void alert() {
        QFETCH(QStringList, buttons);
        QFETCH(int, key);
        QStringList shown;
        whenModal([&](QWidget* window) {
            shown = plainTexts(window);
            QTest::keyClick(window, Qt::Key(key));
        });
        QTEST(m_presenter->run({u"Failed"_s, markup, buttons}), "pressed");
        QCOMPARE(shown, QStringList({u"Failed"_s, markup}));
    }

    // The address offered leaves the cursor in the password field. Return there signs in, only
    // while neither field is blank; in the e-mail field it moves on. Escape gives no entry.
    void signIn_data() {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("entry");
        QTest::newRow("Return") << int(Qt::Key_Return) << u"bo@example.test|s3cret"_s;
        QTest::newRow("Escape") << int(Qt::Key_Escape) << u"none"_s;
    }

    void signIn() {
        QFETCH(int, key);
        QStringList shown;
        QList<bool> stays;
        whenModal([&](QWidget* window) {
            QLineEdit* email = window->findChildren<QLineEdit*>().at(0);
            QLineEdit* password = window->findChildren<QLineEdit*>().at(1);
            shown = plainTexts(window) << email->text();
            const auto returnIn = [&](QLineEdit* field) {
                QTest::keyClick(field, Qt::Key_Return);
                stays << (window->isVisible() && window->focusWidget() == password);
            };
            returnIn(password); // no password yet
            QTest::keyClicks(password, u"s3cret"_s);
            email->setText(u" \t "_s);
            returnIn(password); // a blank address
            email->clear();
            email->setFocus();
            QTest::keyClicks(email, u"bo@example.test"_s);
            returnIn(email);
            stays << (password->echoMode() == QLineEdit::Password);
            QTest::keyClick(password, Qt::Key(key));
        });
        const auto entry = m_presenter->askSignIn(u"Sign in"_s, markup, u"ana@example.test"_s);
        QCOMPARE(shown, QStringList({u"Sign in"_s, markup, u"ana@example.test"_s}));
        QCOMPARE(stays, QList<bool>(4, true));
        QTEST(entry ? entry->email + u'|' + entry->password : u"none"_s, "entry");
    }
};

QTEST_MAIN(TestAlertPresenter)
#include "tst_alertpresenter.moc"
