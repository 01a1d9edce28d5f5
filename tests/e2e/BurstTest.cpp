#include "support/MirvoProcess.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <thread>

// A test-mode mirvo dictating a speech file is hit by key signals in random order, 0–20 ms
// apart. It must live through it and dictate afterwards. (What the storm costs in memory and
// threads is StormBench's figure.)
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
        QRandomGenerator random(20261207);
        for (int i = 0; i < 2000 && mirvo.isRunning(); ++i) {
            mirvo.signal(random.bounded(2) ? SIGUSR1 : SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(random.bounded(21)));
        }
        QVERIFY2(mirvo.isRunning(), qPrintable(mirvo.log().right(3000)));
        mirvo.signal(SIGUSR2);
        QTest::qWait(9000); // every dictation of the storm is answered by now

        const int before = mirvo.count("[Mirvo] pasted");
        mirvo.signal(SIGUSR1);
        QTest::qWait(500);
        mirvo.signal(SIGUSR2);
        QVERIFY2(mirvo.waitFor("[Mirvo] pasted", before + 1, 20000),
                 qPrintable(mirvo.log().right(3000)));
        QVERIFY(mirvo.log().contains("quarterly report"));
        QTest::qWait(7000); // quiet again: the spare decoder is let go
        QVERIFY(mirvo.isRunning());
    }
};

QTEST_GUILESS_MAIN(BurstTest)
#include "BurstTest.moc"
