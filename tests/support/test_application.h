// The one QApplication of the test program, made on first use. Widget tests
// run on the offscreen platform: no display is needed and none is touched.
#pragma once

#include <QApplication>

#include <cstdlib>

namespace test_support {

inline QApplication& TestApplication() {
    static int argc = 1;
    static char name[] = "main_tests";
    static char* argv[] = {name, nullptr};
    // Never destroyed: widgets of a failed test may outlive the test, and
    // Qt must not be torn down under them at exit.
    static QApplication* application = [] {
        // Pictures for the README's gallery are taken on a display of their
        // own (scripts/gallery.sh); every other run stays off-screen.
        const char* gallery = std::getenv("TARNOVELL_GALLERY_DIR");
        if (!gallery || !*gallery) setenv("QT_QPA_PLATFORM", "offscreen", 1);
        return new QApplication(argc, argv);
    }();
    return *application;
}

}  // namespace test_support
