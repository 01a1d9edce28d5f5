// The application shell's figures, on a private X server with a tray and a sound server:
//   launch_to_tray_ms             start of a normal launch (checklist done before) to its icon
//                                 in the tray (p50 of 5)
//   launch_to_coordinator_up_ms   the same launch to "coordinator up" (p50 of 5)
//   second_launch_forward_ms      a second launch handing its command over and ending (p50 of 5)
//   idle_rss_mb                   resident memory, tray up and checklist closed, after 5 s idle
#include "Figures.h"
#include "support/DesktopHelpers.h"
#include "support/MirvoProcess.h"
#include "support/XvfbServer.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QTest>

int main(int argc, char** argv) {
    XvfbServer xvfb;
    if (!xvfb.start(QStringLiteral("1280x1024")))
        return 1;
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    Desktop desktop;
    if (!desktop.start(QStringLiteral("hello")) || !desktop.startTray()) {
        std::fprintf(stderr, "cannot start the sound server or the tray\n");
        return 1;
    }
    const QString home = desktop.newHome();
    const QStringList environment =
        Desktop::environment(home) +
        QStringList{"MIRVO_UPDATE_MANIFEST_URL=http://127.0.0.1:9/latest.json"};
    const auto trayIcons = [&] { return desktop.trayIcons().size(); };

    std::vector<double> toTray, toCoordinator, forwards;
    long rssKb = -1;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer clock;
        clock.start();
        MirvoProcess mirvo(home, environment);
        while (trayIcons() == 0 && clock.elapsed() < 10000)
            QTest::qWait(2);
        toTray.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (!mirvo.waitFor(QStringLiteral("[Mirvo] coordinator up"), 1, 10000))
            return 1;
        toCoordinator.push_back(double(clock.nsecsElapsed()) / 1e6);

        const QString secondDir = home + QStringLiteral("/second-%1").arg(i);
        QDir().mkpath(secondDir);
        clock.restart();
        MirvoProcess second(secondDir, environment);
        if (!second.exitsCleanly(5000))
            return 1;
        forwards.push_back(double(clock.nsecsElapsed()) / 1e6);

        if (i == 4) {
            (void)QTest::qWaitFor([] { return windowNamed("Welcome to Mirvo").isValid(); }, 5000);
            closeWindowNamed(QStringLiteral("Welcome to Mirvo"));
            QTest::qWait(5000);
            rssKb = mirvo.status("VmRSS");
        }
    }
    figure("launch_to_tray_ms", percentile(toTray, 0.5), "ms");
    figure("launch_to_coordinator_up_ms", percentile(toCoordinator, 0.5), "ms");
    figure("second_launch_forward_ms", percentile(forwards, 0.5), "ms");
    figure("idle_rss_mb", double(rssKb) / 1024, "MB");
    return 0;
}
