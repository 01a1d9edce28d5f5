#pragma once

#include "Subprocess.h"

#include <QString>

// A private virtual X server for one test process. start() exports DISPLAY for this process
// and its children.
class XvfbServer final {
public:
    XvfbServer() = default;
    ~XvfbServer() { server_.stop(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // `screenSize` as WIDTHxHEIGHT.
    bool start(const QString& screenSize = QStringLiteral("1280x800"));
    const QString& display() const { return display_; }

private:
    Subprocess server_;
    QString display_;
};

// main() for suites that need a display: starts Xvfb, then the application on the xcb platform.
#define MIRVO_X11_TEST_MAIN(TestClass) MIRVO_X11_TEST_MAIN_ON(TestClass, "1280x800")
#define MIRVO_X11_TEST_MAIN_ON(TestClass, screenSize)                                              \
    int main(int argc, char** argv) {                                                              \
        XvfbServer xvfb;                                                                           \
        if (!xvfb.start(QStringLiteral(screenSize))) {                                             \
            fprintf(stderr, "cannot start Xvfb\n");                                                \
            return 1;                                                                              \
        }                                                                                          \
        qputenv("QT_QPA_PLATFORM", "xcb");                                                         \
        QApplication app(argc, argv);                                                              \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
