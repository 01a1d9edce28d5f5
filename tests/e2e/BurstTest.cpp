#include "support/MirvoProcess.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <thread>

#if __has_feature(address_sanitizer)
constexpr long sanitizerAllowanceMb = 400;
#elif __has_feature(thread_sanitizer)
constexpr long sanitizerAllowanceMb = 900;
#else
constexpr long sanitizerAllowanceMb = 0;
#endif

// A test-mode mirvo dictating a speech file is hit by key signals in random order, 0–20 ms
// apart. It must live through it with bounded memory and threads, and dictate afterwards.
class BurstTest : public QObject {
    Q_OBJECT

private slots:
    void survivesASignalStormAndDictatesAfterIt() {
        QTemporaryDir dir;
        MirvoProcess mirvo(dir.path(),
                           {"MIRVO_TEST_MODE=1",
                            "MIRVO_TEST_AUDIO=" MIRVO_SOURCE_DIR "/resources/demo/speech.wav",
                            "HOME=" + dir.path(), "XDG_CONFIG_HOME=" + dir.path()},
                           "offscreen");
        QVERIFY(mirvo.waitFor("[Mirvo] coordinator up (test mode)"));
        QTest::qWait(1000); // the warm decoder loads
        const long idleRss = mirvo.status("VmRSS");

        QRandomGenerator random(20261207);
        long maxRss = 0, maxThreads = 0;
        QElapsedTimer sampled;
        sampled.start();
        for (int i = 0; i < 2000 && mirvo.isRunning(); ++i) {
            mirvo.signal(random.bounded(2) ? SIGUSR1 : SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(random.bounded(21)));
            if (sampled.elapsed() > 100) {
                maxRss = std::max(maxRss, mirvo.status("VmRSS"));
                maxThreads = std::max(maxThreads, mirvo.status("Threads"));
                sampled.restart();
            }
        }
        QVERIFY2(mirvo.isRunning(), qPrintable(mirvo.log().right(3000)));
        mirvo.signal(SIGUSR2);
        QTest::qWait(9000); // every dictation of the storm is answered by now
        qInfo("RSS %ld kB idle, %ld kB at most; %ld threads at most", idleRss, maxRss, maxThreads);
        // Two decoders of ~90 MB at most, whatever the rate of dictations (the sanitizers keep
        // freed memory in quarantine and shadow what is used).
        QVERIFY2(maxRss < idleRss + (300 + sanitizerAllowanceMb) * 1024,
                 qPrintable(QString::number(maxRss)));
        QVERIFY2(maxThreads < 40, qPrintable(QString::number(maxThreads)));

        // A dictation after the storm still delivers the speech.
        const int before = mirvo.count("[Mirvo] pasted");
        mirvo.signal(SIGUSR1);
        QTest::qWait(500);
        mirvo.signal(SIGUSR2);
        QVERIFY2(mirvo.waitFor("[Mirvo] pasted", before + 1, 20000),
                 qPrintable(mirvo.log().right(3000)));
        QVERIFY(mirvo.log().contains("quarterly report"));
        QVERIFY(mirvo.isRunning());

        // Quiet again, the spare decoder goes and the memory comes back: one warm decoder.
        QTest::qWait(7000);
        const long settledRss = mirvo.status("VmRSS");
        std::printf("storm_signals_survived 2000 signals\nstorm_rss_growth_mb %.1f MB\n",
                    double(settledRss - idleRss) / 1024);
        QVERIFY2(
            settledRss < idleRss + (20 + sanitizerAllowanceMb) * 1024,
            qPrintable(QStringLiteral("%1 kB idle, %2 kB after").arg(idleRss).arg(settledRss)));
    }
};

QTEST_GUILESS_MAIN(BurstTest)
#include "BurstTest.moc"
