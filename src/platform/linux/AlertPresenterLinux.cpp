#include "platform/AlertPresenter.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvelquin::platform {
namespace {

class WidgetAlertPresenter final : public AlertPresenter {
public:
    int run(const Alert& alert) override {
        QMessageBox box;
        box.setWindowTitle(QStringLiteral("Orvelquin Desktop"));
        // Texts may carry a service's error detail: shown as written, never as markup.
        box.setTextFormat(Qt::PlainText);
        box.setText(alert.message);
        box.setInformativeText(alert.informative);
        if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
            informative->setTextFormat(Qt::PlainText);
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
        box.exec();
        return static_cast<int>(buttons.indexOf(box.clickedButton()));
    }

    std::optional<SignInEntry> askSignIn(const QString& message, const QString& informative) override {
        QDialog dialog;
        dialog.setWindowTitle(QStringLiteral("Orvelquin Desktop"));
        auto* layout = new QVBoxLayout(&dialog);
        auto* title = new QLabel(QStringLiteral("<b>%1</b>").arg(message.toHtmlEscaped()));
        title->setTextFormat(Qt::RichText);
        layout->addWidget(title);
        auto* details = new QLabel(informative);
        details->setTextFormat(Qt::PlainText);
        details->setWordWrap(true);
        layout->addWidget(details);

        auto* email = new QLineEdit;
        email->setPlaceholderText(QStringLiteral("Email"));
        email->setMinimumWidth(280);
        auto* password = new QLineEdit;
        password->setPlaceholderText(QStringLiteral("Password"));
        password->setEchoMode(QLineEdit::Password);
        layout->addWidget(email);
        layout->addWidget(password);

        auto* buttons = new QDialogButtonBox;
        QPushButton* signIn = buttons->addButton(QStringLiteral("Sign in"), QDialogButtonBox::AcceptRole);
        buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
        signIn->setDefault(true);
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
        QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        layout->addWidget(buttons);

        email->setFocus();
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
