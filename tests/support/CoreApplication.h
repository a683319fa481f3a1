#pragma once

#include <QCoreApplication>

namespace kestrel::testing {

// The one Qt application of a test binary without widgets, made on first use; true, so that a
// member initialiser can make it before the members that need it.
inline bool coreApplication() {
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "kestrel_tests";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
    }
    return true;
}

}  // namespace kestrel::testing
