#include "XvfbServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <unistd.h>

bool XvfbServer::start(const QString& screenSize) {
    // A display number nobody uses: its lock file is absent.
    for (int n = 90 + int(getpid() % 100), tries = 0; tries < 50; ++n, ++tries) {
        if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)) ||
            QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)))
            continue;
        const QString display = QStringLiteral(":%1").arg(n);
        if (!server_.start(QStringLiteral("Xvfb"),
                           {display, QStringLiteral("-screen"), QStringLiteral("0"),
                            screenSize + QStringLiteral("x24"), QStringLiteral("-nolisten"),
                            QStringLiteral("tcp")}))
            return false;
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && server_.isRunning()) {
            if (Subprocess::run(QStringLiteral("xdpyinfo"), {QStringLiteral("-display"), display},
                                3000)) {
                display_ = display;
                qputenv("DISPLAY", display.toLatin1());
                return true;
            }
            QThread::msleep(50);
        }
        server_.stop(); // lost a race for this number, or it never answered: try the next
    }
    return false;
}
