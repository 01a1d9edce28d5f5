// The application shell's figures, on a private X server with a tray and a sound server:
//   launch_to_tray_ms             start of a normal launch (checklist done before) to its icon
//                                 in the tray (p50 of 5)
//   launch_to_coordinator_up_ms   the same launch to "coordinator up" (p50 of 5)
//   second_launch_forward_ms      a second launch handing its command over and ending (p50 of 5)
//   idle_rss_mb                   resident memory, tray up and checklist closed, after 5 s idle
#include "Figures.h"
#include "support/DesktopHelpers.h"
#include "support/MirvoProcess.h"
#include "support/PulseAudioServer.h"
#include "support/XvfbServer.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

int trayIcons() {
    int icons = 0;
    for (const QRect& r : mappedChildrenOf(QStringLiteral("panel")))
        icons += r.width() >= 8 ? 1 : 0;
    return icons;
}

} // namespace

int main(int argc, char** argv) {
    XvfbServer xvfb;
    PulseAudioServer pulse;
    QTemporaryDir home;
    if (!xvfb.start(QStringLiteral("1280x1024")) || !pulse.start()) {
        std::fprintf(stderr, "cannot start the X server or the sound server\n");
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    Subprocess tray;
    tray.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width",
                          "120", "--height", "28"});
    QDir().mkpath(home.filePath("run"));
    QFile::setPermissions(home.filePath("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (!MirvoProcess::markChecklistCompleted(home.filePath("config")))
        return 1;
    const QStringList environment = {"XDG_CONFIG_HOME=" + home.filePath("config"),
                                     "XDG_RUNTIME_DIR=" + home.filePath("run"),
                                     "MIRVO_UPDATE_MANIFEST_URL=http://127.0.0.1:9/latest.json"};

    std::vector<double> toTray, toCoordinator, forwards;
    long rssKb = -1;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer clock;
        clock.start();
        MirvoProcess mirvo(home.path(), environment);
        while (trayIcons() == 0 && clock.elapsed() < 10000)
            QTest::qWait(2);
        toTray.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (!mirvo.waitFor(QStringLiteral("[Mirvo] coordinator up"), 1, 10000))
            return 1;
        toCoordinator.push_back(double(clock.nsecsElapsed()) / 1e6);

        const QString secondDir = home.filePath(QStringLiteral("second-%1").arg(i));
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
