#include "mirvo/MirvoConfig.h"
#include "support/DesktopHelpers.h"
#include "support/LoopbackHTTPServer.h"
#include "support/MirvoProcess.h"
#include "support/PulseAudioServer.h"
#include "support/SpokenText.h"
#include "support/Subprocess.h"
#include "support/XvfbServer.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString sample = QStringLiteral(MIRVO_SOURCE_DIR "/resources/demo/speech.wav");
const QString sampleText = QStringLiteral("please send the quarterly report to the finance team "
                                          "before noon the meeting has moved to thursday");

using App = MirvoProcess;

double wer(const QString& heard, const QString& spoken = sampleText) {
    return SpokenText::wordErrorRate(SpokenText::words(spoken), SpokenText::words(heard));
}

} // namespace

class EndToEndTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString speechPath;

    // A user who finished the setup checklist before.
    QStringList normalEnvironment(const QString& configHome) {
        MirvoProcess::markChecklistCompleted(configHome);
        return {"XDG_CONFIG_HOME=" + configHome};
    }

    // The checklist opens at every launch and takes the dictations while on screen: close it
    // with its close button, and give the text field the keyboard back.
    void closeChecklist() {
        QTRY_VERIFY_WITH_TIMEOUT(windowNamed("Welcome to Mirvo").isValid(), 10000);
        QVERIFY(closeWindowNamed("Welcome to Mirvo"));
        QTRY_VERIFY(!windowNamed("Welcome to Mirvo").isValid());
        QVERIFY(focusWindowNamed("Mirvo test field"));
    }

    void dictate(PulseAudioServer& pulse) { QVERIFY(dictateThroughTheKey(pulse, speechPath)); }

    void writeConfig(const QString& configHome, const QString& base, bool polish) {
        QDir().mkpath(configHome + "/Mirvo");
        QFile f(configHome + "/Mirvo/config.json");
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QJsonDocument(QJsonObject{
                                  {"proxyBaseURL", base},
                                  {"proxyKey", "e2e-key"},
                                  {"clientId", "e2e"},
                                  {"transcribeTargets",
                                   QJsonArray{QJsonObject{{"path", "/v1/audio"}, {"model", "m1"}}}},
                                  {"chatPath", "/v1/chat"},
                                  {"polishModel", "tidy"},
                                  {"enableCloudTranscription", true},
                                  {"enablePolish", polish},
                              })
                    .toJson());
    }

    // Outside test mode the words a user dictates reach neither the log nor any file Mirvo
    // keeps (the system journal gets the same lines).
    void noDictatedWordsIn(const App& app, const QString& configHome,
                           const QStringList& words = {"quarterly", "finance", "meeting"}) {
        QStringList texts = {app.log()};
        QDirIterator files(configHome, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            QFile file(files.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            texts.append(QString::fromUtf8(file.readAll()));
        }
        for (const QString& text : texts)
            for (const QString& word : words)
                QVERIFY2(!text.contains(word, Qt::CaseInsensitive), qPrintable(word));
    }

private slots:
    // The proxy key is in the configuration file and nowhere else Mirvo writes: not in a log
    // line, not in a file beside it.
    void cleanup() {
        QDirIterator files(dir.path(), QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            if (path.endsWith("/config.json") || path.endsWith(".wav"))
                continue;
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY2(!file.readAll().contains("e2e-key"), qPrintable(path));
        }
    }

    void initTestCase() {
        speechPath = dir.filePath("spoken.wav");
        QVERIFY(SpokenText::synthesize({sampleText}, speechPath));
    }

    void testModeDictatesTheFileOntoTheClipboard() {
        App app(dir.path(), {"MIRVO_TEST_MODE=1", "MIRVO_TEST_AUDIO=" + sample});
        QVERIFY(app.waitFor("[Mirvo] coordinator up (test mode)"));
        QVERIFY(app.log().contains("test=true"));
        QVERIFY(app.log().contains("[Mirvo] hotkey.start() OK (SignalHotkeyMonitor)"));

        // An up with no down changes nothing.
        app.signal(SIGUSR2);
        QVERIFY(app.waitFor("[Mirvo] hotkey event: up"));
        app.signal(SIGUSR1);
        QVERIFY(app.waitFor("[Mirvo] hotkey event: down"));
        QTest::qWait(200);
        app.signal(SIGUSR1); // a repeat: logged and ignored
        QVERIFY(app.waitFor("[Mirvo] hotkey event: down", 2));
        app.signal(SIGUSR2);
        QVERIFY(app.waitFor("[Mirvo] pasted"));
        QCOMPARE(app.count("[Mirvo] awaiting transcript…"), 1);
        QCOMPARE(app.count("[Mirvo] transcriber: local only"), 1);
        const QString pasted = QString::fromUtf8(clipboardData(dir.path()));
        QVERIFY2(wer(pasted) <= 25, qPrintable(pasted));
    }

    void testModeSurvivesAnUnreadableFile() {
        const QString later = dir.filePath("arrives-later.wav");
        App app(dir.path(), {"MIRVO_TEST_MODE=1", "MIRVO_TEST_AUDIO=" + later});
        QVERIFY(app.waitFor("[Mirvo] coordinator up (test mode)"));
        app.signal(SIGUSR1);
        QVERIFY(app.waitFor("Couldn't start dictation."));
        QVERIFY(app.log().contains(later));
        app.signal(SIGUSR2); // the failed start left nothing to finish
        QVERIFY(app.waitFor("[Mirvo] hotkey event: up"));
        QVERIFY(!app.log().contains("awaiting transcript"));

        QVERIFY(QFile::copy(sample, later));
        app.signal(SIGUSR1);
        QVERIFY(app.waitFor("[Mirvo] hotkey event: down", 2));
        QTest::qWait(200);
        app.signal(SIGUSR2);
        QVERIFY(app.waitFor("[Mirvo] pasted"));
        QVERIFY(app.isRunning());
    }

    void microphoneDictationLandsInAnotherApplication() {
        PulseAudioServer pulse;
        QVERIFY2(pulse.start(), qPrintable(pulse.error()));
        TextField field(MIRVO_TEXT_FIELD_APP, dir.path());
        QVERIFY(field.waitReady());
        Subprocess owner; // another application holds the clipboard
        QFile words(dir.filePath("clipboard.txt"));
        QVERIFY(words.open(QIODevice::WriteOnly));
        words.write("what the user had");
        words.close();
        owner.start("xclip", {"-selection", "clipboard", "-i", words.fileName()});
        QTRY_COMPARE(QString::fromUtf8(clipboardData(dir.path())),
                     QStringLiteral("what the user had"));

        const QString home = dir.filePath("local-config");
        // A key binding's command with no Mirvo running starts nothing and says why.
        QString said;
        QVERIFY(!MirvoProcess::command(dir.path(), normalEnvironment(home), {"--hold"}, &said));
        QVERIFY2(said.contains("mirvo: --hold: Mirvo is not running"), qPrintable(said));
        App app(dir.path(), normalEnvironment(home));
        QVERIFY(app.waitFor("[Mirvo] coordinator up"));
        closeChecklist();
        QVERIFY(app.log().contains("[Mirvo] hotkey.start() OK (CGEventTapHotkeyMonitor)"));
        QVERIFY(app.log().contains("no config at " + home + "/Mirvo/config.json"));
        QTest::qWait(1000); // the speech model warms up

        dictate(pulse);
        QVERIFY(app.waitFor("[Mirvo] pasted"));
        QTRY_VERIFY_WITH_TIMEOUT(!field.text().isEmpty(), 5000);
        QVERIFY2(wer(field.text()) <= 25, qPrintable(field.text()));
        QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(clipboardData(dir.path())),
                                  QStringLiteral("what the user had"), 5000);

        // The same through key-binding commands: a repeated --hold changes nothing, and a
        // toggle shortcut both starts and ends a dictation.
        const auto command = [&](const char* argument) {
            return MirvoProcess::command(dir.path(), normalEnvironment(home), {argument});
        };
        const QList<std::pair<QStringList, const char*>> dictations = {
            {{"--hold", "--hold"}, "--release"}, {{"--toggle"}, "--toggle"}};
        int pasted = 1;
        for (const auto& [starts, stop] : dictations) {
            for (const QString& start : starts)
                QVERIFY(command(qPrintable(start)));
            QTest::qWait(300);
            QVERIFY(pulse.play(speechPath));
            QTest::qWait(300);
            QVERIFY(command(stop));
            QVERIFY(app.waitFor("[Mirvo] pasted", ++pasted));
        }
        QCOMPARE(app.count("[Mirvo] hotkey event: down"), 3);
        const QString three = sampleText + " " + sampleText + " " + sampleText;
        QTRY_VERIFY_WITH_TIMEOUT(wer(field.text(), three) <= 25, 5000);
        QVERIFY(app.log().contains(
            QRegularExpression(R"(\[Mirvo\] raw transcript: \(\d+ characters\))")));
        noDictatedWordsIn(app, home);
    }

    void cloudTextAndPolishingWinAndFallBack() {
        PulseAudioServer pulse;
        QVERIFY2(pulse.start(), qPrintable(pulse.error()));
        TextField field(MIRVO_TEXT_FIELD_APP, dir.path());
        QVERIFY(field.waitReady());
        LoopbackHTTPServer proxy;
        const QString home = dir.filePath("cloud-config");
        writeConfig(home, proxy.baseURL(), true);
        App app(dir.path(), normalEnvironment(home));
        QVERIFY(app.waitFor("[Mirvo] coordinator up"));
        closeChecklist();
        QVERIFY(app.log().contains("[Mirvo] polisher: LLM (tidy)"));
        QTest::qWait(1000);

        // The cloud's text wins; polishing replaces it.
        proxy.answer(200, R"({"text":"cloud words here"})");
        proxy.answer(200, R"({"choices":[{"message":{"content":"Polished cloud words."}}]})");
        dictate(pulse);
        QVERIFY(app.waitFor("[Mirvo] pasted"));
        QTRY_COMPARE_WITH_TIMEOUT(field.text(), QStringLiteral("Polished cloud words."), 5000);
        QVERIFY(app.log().contains("[Mirvo] raw transcript: (16 characters)"));
        QVERIFY(app.log().contains("[Mirvo] polished: (21 characters)"));
        QCOMPARE(proxy.requests().size(), 2);

        // A failing proxy: the on-device words, unpolished.
        proxy.answer(500, "upstream down");
        proxy.answer(500, "upstream down");
        const QString before = field.text();
        dictate(pulse);
        QVERIFY(app.waitFor("[Mirvo] pasted", 2));
        QTRY_VERIFY_WITH_TIMEOUT(field.text().size() > before.size(), 5000);
        QVERIFY2(wer(field.text().mid(before.size())) <= 25, qPrintable(field.text()));
        QVERIFY(app.log().contains("hybrid: cloud empty, falling back to local"));
        QVERIFY(app.log().contains("[Mirvo/Polisher] failed: polish: HTTP 500: (13 characters)"));
        noDictatedWordsIn(app, home, {"quarterly", "finance", "cloud words", "upstream down"});
    }

    void proxyDownFallsBackToTheDevice() {
        PulseAudioServer pulse;
        QVERIFY2(pulse.start(), qPrintable(pulse.error()));
        TextField field(MIRVO_TEXT_FIELD_APP, dir.path());
        QVERIFY(field.waitReady());
        const QString home = dir.filePath("down-config");
        writeConfig(home, "http://127.0.0.1:1", false);
        App app(dir.path(), normalEnvironment(home));
        QVERIFY(app.waitFor("[Mirvo] coordinator up"));
        closeChecklist();
        QTest::qWait(1000);
        dictate(pulse);
        QVERIFY(app.waitFor("[Mirvo] pasted"));
        QTRY_VERIFY_WITH_TIMEOUT(!field.text().isEmpty(), 5000);
        QVERIFY2(wer(field.text()) <= 25, qPrintable(field.text()));
        QVERIFY(app.log().contains("cloud target[0] m1 failed in"));
    }
};

MIRVO_X11_TEST_MAIN(EndToEndTest)
#include "EndToEndTest.moc"
