#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QMessageBox>
#include <QUrl>

#include <vector>

#include "app/ui/UpdateDialog.h"
#include "tests/app/ui/Offscreen.h"

namespace kestrel::ui {
namespace {

UpdateCheckResult resultOf(bool available, const char* error, bool userInitiated) {
    UpdateCheckResult result;
    result.current = "0.1.0";
    result.latest = available ? "0.2.0" : "0.1.0";
    result.available = available;
    result.error = error;
    result.userInitiated = userInitiated;
    if (available) {
        result.notesUrl = "https://kestrel.corvid.dev/notes/0.2.0.html";
        result.downloadUrl = "https://kestrel.corvid.dev/download/";
    }
    return result;
}

TEST(UpdateDialogTest, ScheduledChecksSpeakOnlyOfNewVersionsRequestedOnesAlways) {
    const struct {
        bool available;
        const char* error;
        bool userInitiated;
        bool dialog;
        bool tray;
    } cases[] = {
        {true, "", false, true, true},
        {true, "", true, true, true},
        {false, "", false, false, false},
        {false, "", true, true, false},
        {false, "feed too large", false, false, false},
        {false, "feed too large", true, true, false},
    };
    for (const auto& c : cases) {
        const UpdateMessage message =
            updateMessage(resultOf(c.available, c.error, c.userInitiated));
        EXPECT_EQ(message.dialog, c.dialog) << c.available << c.error << c.userInitiated;
        EXPECT_EQ(message.trayMessage, c.tray) << c.available << c.error << c.userInitiated;
        // An error is never reported as being up to date.
        if (*c.error != '\0') {
            EXPECT_TRUE(message.text.contains(QStringLiteral("feed too large")));
            EXPECT_FALSE(message.title.contains(QStringLiteral("up to date")));
        }
    }
}

TEST(UpdateDialogTest, DownloadButtonOpensTheDownloadPageAndTheTrayHearsOfTheVersion) {
    application();
    std::vector<QUrl> opened;
    QString trayTitle;
    UpdateDialogPresenter presenter(
        {[&](const QString& title, const QString&) { trayTitle = title; },
         [&](const QUrl& url) { opened.push_back(url); }});
    presenter.present(resultOf(true, "", false));
    EXPECT_EQ(trayTitle, QStringLiteral("Kestrel 0.2.0 is available"));
    QMessageBox* box = presenter.dialog();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->text(), QStringLiteral("Kestrel 0.2.0 is available"));
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == QStringLiteral("Download…")) {
            button->click();
        }
    }
    ASSERT_EQ(opened.size(), 1U);
    EXPECT_EQ(opened[0], QUrl(QStringLiteral("https://kestrel.corvid.dev/download/")));
}

}  // namespace
}  // namespace kestrel::ui
