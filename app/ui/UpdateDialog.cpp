#include "app/ui/UpdateDialog.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

namespace kestrel::ui {

UpdateMessage updateMessage(const UpdateCheckResult& result) {
    UpdateMessage message;
    const QString current = QString::fromStdString(result.current);
    const QString latest = QString::fromStdString(result.latest);
    if (!result.ok()) {
        message.dialog = result.userInitiated;
        message.title = QStringLiteral("Kestrel could not check for updates");
        message.text = QString::fromStdString(result.error);
        return message;
    }
    if (!result.available) {
        message.dialog = result.userInitiated;
        message.title = QStringLiteral("You’re up to date");
        message.text = QStringLiteral("Kestrel %1 is the newest version available.").arg(current);
        return message;
    }
    message.dialog = true;
    message.trayMessage = true;
    message.title = QStringLiteral("Kestrel %1 is available").arg(latest);
    message.text = QStringLiteral(
                       "You have %1. Kestrel never installs anything by itself: get "
                       "the new version from its download page.")
                       .arg(current);
    message.notesUrl = QString::fromStdString(result.notesUrl);
    message.downloadUrl = QString::fromStdString(result.downloadUrl);
    return message;
}

UpdateDialogPresenter::UpdateDialogPresenter(Hooks hooks) : hooks_(std::move(hooks)) {}

UpdateDialogPresenter::~UpdateDialogPresenter() {
    delete dialog_.data();  // a top-level box without a parent: ours to end
}

void UpdateDialogPresenter::present(const UpdateCheckResult& result) {
    const UpdateMessage message = updateMessage(result);
    if (message.trayMessage && hooks_.trayMessage) {
        hooks_.trayMessage(message.title, message.text);
    }
    if (!message.dialog) {
        return;
    }
    delete dialog_.data();
    dialog_ =
        new QMessageBox(message.downloadUrl.isEmpty() && !result.ok() ? QMessageBox::Warning
                                                                      : QMessageBox::Information,
                        QStringLiteral("Software Update"), message.title);
    dialog_->setInformativeText(message.text);
    dialog_->setAttribute(Qt::WA_DeleteOnClose);
    // A button that opens `link` in the browser; none for an empty or malformed link.
    auto addLink = [this](const QString& text, const QString& link, QMessageBox::ButtonRole role) {
        const QUrl url(link);
        if (link.isEmpty() || !url.isValid()) {
            return false;
        }
        auto* button = dialog_->addButton(text, role);
        QObject::connect(button, &QAbstractButton::clicked, dialog_.data(),
                         [open = hooks_.openUrl, url] {
                             if (open) {
                                 open(url);
                             }
                         });
        return true;
    };
    addLink(QStringLiteral("Release Notes"), message.notesUrl, QMessageBox::HelpRole);
    if (addLink(QStringLiteral("Download…"), message.downloadUrl, QMessageBox::AcceptRole)) {
        dialog_->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    } else {
        dialog_->addButton(QMessageBox::Ok);
    }
    dialog_->open();
}

}  // namespace kestrel::ui
