// Fifty dictations back to back in normal mode, through the real key and microphone, each over
// clipboard contents another program owns: every one is delivered or reported, and the user's
// clipboard reads back byte for byte after each. One Mirvo serves all fifty.
#include "support/DesktopHelpers.h"
#include "support/MirvoProcess.h"
#include "support/PulseAudioServer.h"
#include "support/SpokenText.h"
#include "support/XvfbServer.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

class RapidDictationTest : public QObject {
    Q_OBJECT

    using Contents = QList<std::pair<QString, QByteArray>>;
    static constexpr int rounds = 5;
    static constexpr int perRound = 10;

    QTemporaryDir dir;
    PulseAudioServer pulse;
    QStringList clips;
    QList<Contents> contents;
    std::unique_ptr<MirvoProcess> mirvo;
    std::unique_ptr<TextField> field;
    QRandomGenerator random{20261207};
    int done = 0;
    int restored = 0;

    int answered() const {
        return mirvo->count("[Mirvo] pasted") +
               mirvo->count("[Mirvo] empty transcript — nothing to paste");
    }

private slots:
    void initTestCase() {
        QVERIFY2(pulse.start(), qPrintable(pulse.error()));
        // From a word to a sentence: 0.3 to 2 seconds of speech.
        const QStringList phrases = {"yes", "hello there", "please call me back",
                                     "send the report to the team today",
                                     "the meeting has moved to thursday afternoon"};
        for (int i = 0; i < phrases.size(); ++i) {
            clips.append(dir.filePath(QStringLiteral("clip-%1.wav").arg(i)));
            QVERIFY(SpokenText::synthesize({phrases[i]}, clips.last()));
        }
        // What the user copied: plain text, text with HTML, an image, a binary type of its own.
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(QColor(40, 120, 200));
        QByteArray png;
        QBuffer pngBuffer(&png);
        QVERIFY(pngBuffer.open(QIODevice::WriteOnly) && image.save(&pngBuffer, "PNG"));
        contents = {
            {{"text/plain", "plain words the user copied"}},
            {{"text/plain", "formatted words"}, {"text/html", "<b>formatted</b> words"}},
            {{"image/png", png}},
            {{"application/x-mirvo-test", QByteArray("\x00\x01\xfe\xff binary", 11)}},
        };

        QVERIFY(MirvoProcess::markChecklistCompleted(dir.filePath("config")));
        mirvo = std::make_unique<MirvoProcess>(
            dir.path(), QStringList{"XDG_CONFIG_HOME=" + dir.filePath("config"),
                                    "MIRVO_UPDATE_MANIFEST_URL=http://127.0.0.1:9/none"});
        QVERIFY(mirvo->waitFor("[Mirvo] coordinator up"));
        QTRY_VERIFY_WITH_TIMEOUT(windowNamed("Welcome to Mirvo").isValid(), 10000);
        QVERIFY(closeWindowNamed("Welcome to Mirvo"));
        field = std::make_unique<TextField>(MIRVO_TEXT_FIELD_APP, dir.path());
        QVERIFY(field->waitReady());
        QTest::qWait(1000); // the speech model warms up
    }

    // In rounds, so that a failure names the stretch it happened in.
    void dictations1to10() { tenDictations(); }
    void dictations11to20() { tenDictations(); }
    void dictations21to30() { tenDictations(); }
    void dictations31to40() { tenDictations(); }
    void dictations41to50() { tenDictations(); }

    void cleanupTestCase() {
        std::printf("clipboard_restored_percent %.1f %%\n", done ? 100.0 * restored / done : 0.0);
        QCOMPARE(done, rounds * perRound);
        QVERIFY(mirvo->isRunning());
        QVERIFY(field->text().contains("thursday"));
    }

private:
    void tenDictations() {
        for (int n = 0; n < perRound; ++n) {
            const int i = done++;
            const Contents& copied = contents[i % contents.size()];
            QStringList arguments = {dir.filePath("owner.log")};
            for (int t = 0; t < copied.size(); ++t) {
                const QString path = dir.filePath(QStringLiteral("copied-%1").arg(t));
                QFile f(path);
                QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
                f.write(copied[t].second);
                f.close();
                arguments.append(copied[t].first + "=" + path);
            }
            Subprocess owner;
            QVERIFY(owner.start(MIRVO_CLIPBOARD_OWNER, arguments));
            QTRY_COMPARE(clipboardData(dir.path(), copied[0].first), copied[0].second);

            const int before = answered();
            fakeKey("Control_R", true);
            QTest::qWait(100);
            QVERIFY(pulse.play(clips[i % clips.size()]));
            QTest::qWait(100 + random.bounded(200));
            fakeKey("Control_R", false);
            QVERIFY2(QTest::qWaitFor([&] { return answered() > before; }, 15000),
                     qPrintable(QStringLiteral("dictation %1 unanswered").arg(i)));

            const bool same = QTest::qWaitFor(
                [&] {
                    for (const auto& [type, bytes] : copied)
                        if (clipboardData(dir.path(), type) != bytes)
                            return false;
                    return true;
                },
                5000);
            restored += same ? 1 : 0;
            QVERIFY2(same, qPrintable(QStringLiteral("clipboard of dictation %1").arg(i)));
            owner.stop();
            QTest::qWait(random.bounded(150));
        }
    }
};

MIRVO_X11_TEST_MAIN_ON(RapidDictationTest, "1280x1024")
#include "RapidDictationTest.moc"
