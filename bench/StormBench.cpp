// A test-mode mirvo dictating a speech file, hit by 2,000 key signals in random order 0–20 ms
// apart:
//   storm_rss_peak_growth_mb   resident memory at most during the storm, above the idle figure
//   storm_threads_max          threads at most during the storm
//   storm_rss_growth_mb        resident memory once quiet again, above the idle figure (one warm
//                              decoder: the spare is let go)
#include "Figures.h"
#include "support/MirvoProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <thread>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    MirvoProcess mirvo(dir.path(),
                       {"MIRVO_TEST_MODE=1",
                        "MIRVO_TEST_AUDIO=" MIRVO_SOURCE_DIR "/resources/demo/speech.wav",
                        "HOME=" + dir.path(), "XDG_CONFIG_HOME=" + dir.path()},
                       "offscreen");
    if (!mirvo.waitFor(QStringLiteral("[Mirvo] coordinator up (test mode)")))
        return 1;
    QTest::qWait(1000); // the warm decoder loads
    const long idleRss = processStatus(QString::number(mirvo.pid()), "VmRSS");
    QRandomGenerator random(20261207);
    long maxRss = 0, maxThreads = 0;
    QElapsedTimer sampled;
    sampled.start();
    for (int i = 0; i < 2000 && mirvo.isRunning(); ++i) {
        mirvo.signal(random.bounded(2) ? SIGUSR1 : SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(random.bounded(21)));
        if (sampled.elapsed() > 100) {
            maxRss = std::max(maxRss, processStatus(QString::number(mirvo.pid()), "VmRSS"));
            maxThreads =
                std::max(maxThreads, processStatus(QString::number(mirvo.pid()), "Threads"));
            sampled.restart();
        }
    }
    mirvo.signal(SIGUSR2);
    QTest::qWait(16000); // every dictation answered, and the spare decoder gone
    figure("storm_rss_peak_growth_mb", double(maxRss - idleRss) / 1024, "MB");
    figure("storm_threads_max", double(maxThreads), "threads");
    figure("storm_rss_growth_mb",
           double(processStatus(QString::number(mirvo.pid()), "VmRSS") - idleRss) / 1024, "MB");
    return mirvo.isRunning() ? 0 : 1;
}
