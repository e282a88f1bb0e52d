#include "platform/AlertPresenter.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvelquin::platform {
namespace {

const QString windowTitle = QStringLiteral("Orvelquin Desktop");

// Wide enough that no desktop's title bar cuts "Orvelquin Desktop" beside its buttons; Qt alone
// sizes an alert to its texts and a short one ends up about 160 px wide.
constexpr int minimumAlertWidth = 360;

QIcon applicationIcon() {
    return QIcon::fromTheme(QStringLiteral("com.orvelquin.desktop"),
                            QIcon(QStringLiteral(":/icons/com.orvelquin.desktop.svg")));
}

// The headline stands out from the informative text as on the desktops' own alerts; Qt makes it
// bold only on macOS.
void emphasise(QLabel* headline) {
    QFont font = headline->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.15);
    headline->setFont(font);
}

// Return in the e-mail field goes on to the password instead of submitting half a form.
class ReturnMovesFocus final : public QObject {
public:
    ReturnMovesFocus(QWidget* next, QObject* parent)
        : QObject(parent)
        , m_next(next) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                m_next->setFocus(Qt::TabFocusReason);
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QWidget* m_next;
};

class WidgetAlertPresenter final : public AlertPresenter {
public:
    int run(const Alert& alert) override {
        QMessageBox box;
        box.setWindowTitle(windowTitle);
        box.setWindowIcon(applicationIcon());
        box.setIcon(alert.severity == Alert::Severity::Warning ? QMessageBox::Warning : QMessageBox::Information);
        // Texts may carry a service's error detail: shown as written, never as markup.
        box.setTextFormat(Qt::PlainText);
        box.setText(alert.message);
        box.setInformativeText(alert.informative);
        if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
            informative->setTextFormat(Qt::PlainText);
        }
        if (auto* headline = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))) {
            emphasise(headline);
        }
        QList<QAbstractButton*> buttons;
        if (alert.buttons.isEmpty()) {
            buttons << box.addButton(QMessageBox::Ok);
        }
        for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
            const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
            buttons << box.addButton(alert.buttons[i], role);
        }
        box.setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
        // Added last: QMessageBox rebuilds its grid whenever texts, icon or buttons change, and
        // sizes itself to the grid's minimum when shown.
        if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
            grid->addItem(new QSpacerItem(minimumAlertWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                          grid->rowCount(), 0, 1, grid->columnCount());
        }
        box.exec();
        return static_cast<int>(buttons.indexOf(box.clickedButton()));
    }

    std::optional<SignInEntry> askSignIn(const QString& message, const QString& informative,
                                         const QString& initialEmail) override {
        QDialog dialog;
        dialog.setWindowTitle(windowTitle);
        dialog.setWindowIcon(applicationIcon());
        auto* layout = new QVBoxLayout(&dialog);
        // A fixed size (minimum equal to maximum) is what makes tiling compositors float it.
        layout->setSizeConstraint(QLayout::SetFixedSize);
        auto* title = new QLabel(message);
        title->setTextFormat(Qt::PlainText);
        emphasise(title);
        layout->addWidget(title);
        auto* details = new QLabel(informative);
        details->setTextFormat(Qt::PlainText);
        details->setWordWrap(true);
        layout->addWidget(details);

        auto* email = new QLineEdit(initialEmail);
        email->setMinimumWidth(280);
        auto* password = new QLineEdit;
        password->setEchoMode(QLineEdit::Password);
        email->installEventFilter(new ReturnMovesFocus(password, email));
        auto* form = new QFormLayout;
        form->addRow(QStringLiteral("Email"), email);
        form->addRow(QStringLiteral("Password"), password);
        layout->addLayout(form);

        auto* buttons = new QDialogButtonBox;
        QPushButton* signIn = buttons->addButton(QStringLiteral("Sign in"), QDialogButtonBox::AcceptRole);
        buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
        signIn->setDefault(true);
        const auto updateSignIn = [=] {
            signIn->setEnabled(!email->text().trimmed().isEmpty() && !password->text().isEmpty());
        };
        QObject::connect(email, &QLineEdit::textChanged, signIn, updateSignIn);
        QObject::connect(password, &QLineEdit::textChanged, signIn, updateSignIn);
        updateSignIn();
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
        QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        layout->addWidget(buttons);

        (initialEmail.trimmed().isEmpty() ? email : password)->setFocus();
        if (dialog.exec() != QDialog::Accepted) {
            return std::nullopt;
        }
        return SignInEntry{email->text(), password->text()};
    }
};

} // namespace

std::unique_ptr<AlertPresenter> createAlertPresenter() {
    return std::make_unique<WidgetAlertPresenter>();
}

} // namespace orvelquin::platform
