#pragma once

#include <QApplication>

#include "app/ui/Theme.h"

namespace kestrel::ui {

// Widgets without a display: the offscreen platform, which never offers a tray. One application
// for the whole test binary, themed like the real one.
inline QApplication& application() {
    static int argc = 1;
    static char name[] = "app_ui_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        auto* created = new QApplication(argc, argv);
        applyTheme(*created);
        return created;
    }();
    return *app;
}

}  // namespace kestrel::ui
