#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QString>

#include <functional>

#include "app/update/UpdateCheck.h"

class QUrl;

namespace kestrel::ui {

// What the user is told about one check. No widgets.
struct UpdateMessage {
    bool dialog = false;  // a scheduled check that found nothing new says nothing
    QString title;
    QString text;
    QString notesUrl;          // empty: no notes link
    QString downloadUrl;       // empty: no download button
    bool trayMessage = false;  // a new version is also announced at the tray icon
};
UpdateMessage updateMessage(const UpdateCheckResult& result);

// Shows check results: a dialog with the version, its notes and a button that opens the download
// page in the browser, and a tray message for a new version. One dialog at a time; a newer result
// replaces an open one. Main thread.
class UpdateDialogPresenter final : public UpdatePresenter {
  public:
    struct Hooks {
        // Shows a message at the tray icon; empty where there is no tray.
        std::function<void(const QString& title, const QString& text)> trayMessage;
        // Opens a link in the browser.
        std::function<void(const QUrl& url)> openUrl;
    };
    explicit UpdateDialogPresenter(Hooks hooks);
    ~UpdateDialogPresenter() override;

    void present(const UpdateCheckResult& result) override;

    QMessageBox* dialog() const { return dialog_; }

  private:
    Hooks hooks_;
    QPointer<QMessageBox> dialog_;
};

}  // namespace kestrel::ui
