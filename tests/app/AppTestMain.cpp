// The window's tests need one QApplication for the whole run, on the offscreen platform unless
// the environment asks for another.

#include <QApplication>
#include <gtest/gtest.h>

#if defined(__SANITIZE_THREAD__)
// Qt (and the GLib event loop it runs on) is not built with ThreadSanitizer: it hands its own data
// between its threads through futexes the sanitizer cannot see, so what it allocates on one thread
// and frees on another would look like races. Our code's own hand-overs use instrumented mutexes
// and stay checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n"
           "called_from_lib:libQt6Test.so.6\n"
           "called_from_lib:libQt6DBus.so.6\n"
           "called_from_lib:libglib-2.0.so.0\n";
}
#endif

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
