#include "doubles/FakePlatform.h"
#include "mirvo/MirvoApp.h"
#include "mirvo/MirvoConfig.h"
#include "support/LogCapture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <syslog.h>
#include <unistd.h>

namespace {

LaunchOptions optionsFrom(const QStringList& variables) {
    QProcessEnvironment environment;
    for (const QString& variable : variables)
        environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
    return LaunchOptions::fromEnvironment(environment);
}

// A configuration file with both features on, in `dir`'s Mirvo folder.
void writeConfig(const QString& dir, bool polish) {
    QDir(dir).mkpath("Mirvo");
    QFile file(dir + "/Mirvo/config.json");
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray json =
        "{\"proxyBaseURL\": \"http://127.0.0.1:9\", \"proxyKey\": \"k\", "
        "\"clientId\": \"c\", \"chatPath\": \"/chat\", \"polishModel\": \"chat%1%2\", "
        "\"transcribeTargets\": [{\"path\": \"/t\", \"model\": \"m\"}], "
        "\"enableCloudTranscription\": true, \"enablePolish\": POLISH}";
    file.write(json.replace("POLISH", polish ? "true" : "false"));
}

QList<std::pair<int, QString>> journal;

void intoJournal(int priority, const char* line) {
    journal.append({priority, QString::fromUtf8(line)});
}

} // namespace

class AppLaunchTest : public QObject {
    Q_OBJECT

private slots:
    void linesReachTheJournalAtTheirPriority() {
        setSyslogSink(&intoJournal);
        mirvoLog("[Mirvo] plain");
        mirvoLog("[Mirvo/Config] failed to decode x: é", LogLevel::warning);
        mirvoLog("[Mirvo] start recording failed: boom", LogLevel::error);
        MirvoConfig::load("/"); // a directory: the decoding failure is a warning
        setSyslogSink(nullptr);
        const QList<std::pair<int, QString>> expected = {
            {LOG_INFO, "[Mirvo] plain"},
            {LOG_WARNING, "[Mirvo/Config] failed to decode x: é"},
            {LOG_ERR, "[Mirvo] start recording failed: boom"},
            {LOG_WARNING, "[Mirvo/Config] failed to decode /: it is a directory, not a file"},
        };
        QCOMPARE(journal, expected);
    }

    void launchOptionsAreReadOnce() {
        const LaunchOptions all = optionsFrom(
            {"MIRVO_TEST_MODE=1", "MIRVO_TEST_AUDIO=/a.wav", "MIRVO_FORCE_ONBOARDING=1"});
        QVERIFY(all.testMode && all.forceOnboarding);
        QCOMPARE(all.testAudio, std::optional<QString>("/a.wav"));
        for (const char* notOne : {"true", "0", "yes", " 1", ""}) {
            const LaunchOptions o =
                optionsFrom({QStringLiteral("MIRVO_TEST_MODE=") + notOne,
                             QStringLiteral("MIRVO_FORCE_ONBOARDING=") + notOne});
            QVERIFY2(!o.testMode && !o.forceOnboarding, notOne);
        }
        QVERIFY(!optionsFrom({}).testAudio);
    }

    void testModeStartsTheCoordinatorAtOnceAndIgnoresTheConfiguration() {
        QTemporaryDir home;
        writeConfig(home.path(), true);
        FakePlatform platform;
        platform.supportDirectory = home.path();
        auto defaults = std::make_shared<FakeUserDefaults>();
        defaults->setValue("ai.mirvo.onboardingCompleted", true);
        LogCapture logs;
        auto delegate = std::make_shared<MirvoAppDelegate>(
            platform, optionsFrom({"MIRVO_TEST_MODE=1"}), defaults);
        delegate->applicationDidFinishLaunching();

        const QStringList lines = logs.lines();
        const qsizetype launched = lines.indexOf(
            QStringLiteral("[Mirvo] launched (pid=%1, test=true, seen=true, force=false)")
                .arg(getpid()));
        const qsizetype entered = lines.indexOf("[Mirvo] startCoordinator() entered");
        const qsizetype up = lines.indexOf("[Mirvo] coordinator up (test mode)");
        QVERIFY(launched >= 0 && launched < entered && entered < up);
        QVERIFY(lines.contains("[Mirvo] hotkey.start() OK (SignalHotkeyMonitor)"));
        for (const QString& line : lines)
            QVERIFY2(!line.contains("AXIsProcessTrusted") && !line.startsWith("[Mirvo/Config]") &&
                         !line.contains("polisher"),
                     qPrintable(line));
        const QStringList made = platform.log->calls();
        for (const char* service : {"makeSignalSource", "makeAudioEngine", "makePasteboard"})
            QVERIFY2(made.contains(service), service);
        for (const char* service : {"makeHTTPSession", "makeKeyboardEvents", "audioFileOpener"})
            QVERIFY2(!made.contains(service), service);

        // A dictation's text is announced on the process's default notification centre.
        QSignalSpy announced(platform.notifications.get(), &NotificationCenter::posted);
        platform.signalSource->send(SignalSource::Signal::keyDown);
        QTRY_VERIFY(delegate->coordinator()->isRecording());
        platform.signalSource->send(SignalSource::Signal::keyUp);
        QTRY_VERIFY(!delegate->coordinator()->isRecording());
        platform.recognizer->task(0)->deliver("hello there", {0.1, 0.5}, true);
        QTRY_COMPARE(announced.count(), 1);
        QCOMPARE(announced[0][0].toString(), QStringLiteral("ai.mirvo.didPaste"));
        QCOMPARE(announced[0][1].toMap(), (QVariantMap{{"text", "hello there"}}));
        QCOMPARE(platform.pasteboard->text(), QStringLiteral("hello there"));
    }

    void testModeWithAFilePlaysTheFile() {
        FakePlatform platform;
        const auto coordinator = DictationCoordinator::make(
            platform, optionsFrom({"MIRVO_TEST_MODE=1", "MIRVO_TEST_AUDIO=/take.wav"}),
            *std::make_shared<FakeUserDefaults>());
        coordinator->start();
        QVERIFY(platform.log->calls().contains("audioFileOpener"));
        QVERIFY(!platform.log->calls().contains("makeAudioEngine"));
        platform.signalSource->send(SignalSource::Signal::keyDown);
        QTRY_COMPARE(platform.log->count("open /take.wav"), 1);
    }

    void recognitionProfileComesFromTheUserDefaults() {
        const QList<std::tuple<QString, QString, bool>> cases = {
            {"", "fast", false},
            {"fast", "fast", false},
            {"accurate", "accurate", false},
            {"Accurate", "fast", true},
        };
        for (const auto& [value, profile, warned] : cases) {
            FakePlatform platform;
            FakeUserDefaults defaults;
            if (!value.isEmpty())
                defaults.setValue("ai.mirvo.recognitionProfile", value);
            LogCapture logs;
            DictationCoordinator::make(platform, optionsFrom({"MIRVO_TEST_MODE=1"}), defaults);
            QVERIFY2(platform.log->calls().contains("speechRecognizers " + profile),
                     qPrintable(value));
            QCOMPARE(
                logs.contains("[Mirvo] unknown recognition profile \"" + value + "\" — using fast"),
                warned);
        }
    }

    void normalModeUsesTheKeyPastingAndTheConfiguration() {
        QTemporaryDir home;
        for (const QString& value : {"true", "0"}) {
            FakePlatform platform;
            platform.supportDirectory = home.path();
            auto defaults = std::make_shared<FakeUserDefaults>();
            defaults->setValue("ai.mirvo.onboardingCompleted", true);
            LogCapture logs;
            auto delegate = std::make_shared<MirvoAppDelegate>(
                platform, optionsFrom({"MIRVO_TEST_MODE=" + value}), defaults);
            delegate->applicationDidFinishLaunching();
            QVERIFY(logs.contains(
                QStringLiteral("[Mirvo] launched (pid=%1, test=false, seen=true, force=false)")
                    .arg(getpid())));
            QTRY_VERIFY(logs.contains("[Mirvo] coordinator up"));
            QVERIFY(logs.contains("[Mirvo/Config] no config at " + home.path() +
                                  "/Mirvo/config.json — running fully local"));
            QVERIFY(logs.contains("[Mirvo] CGEvent.tapCreate attempt, AXIsProcessTrusted=true"));
            QStringList made;
            for (const QString& call : platform.log->calls())
                if (call.startsWith("make") && call != "makeTray" && call != "makeLoginItem")
                    made.append(call.section(' ', 0, 0));
            QCOMPARE(made.mid(0, 4), (QStringList{"makePasteboard", "makeAudioEngine",
                                                  "makeKeyboardEvents", "makeEventTap"}));
            QVERIFY(platform.log->calls().contains("makeEventTap Control_R mask=0x1000"));
            QVERIFY(logs.startingWith("[Mirvo] polisher").isEmpty());
        }

        // The configured key; a configuration with polishing off makes a client but no
        // polisher, and one with it on names the model as it is written.
        for (bool polish : {false, true}) {
            writeConfig(home.path(), polish);
            FakePlatform platform;
            platform.supportDirectory = home.path();
            FakeUserDefaults defaults;
            defaults.setValue("ai.mirvo.hotkey", "Super_R");
            LogCapture logs;
            DictationCoordinator::make(platform, {}, defaults)->start();
            QVERIFY(platform.log->calls().contains("makeEventTap Super_R mask=0x1000"));
            QCOMPARE(platform.log->count("makeHTTPSession"), 1);
            QCOMPARE(logs.startingWith("[Mirvo] polisher").size(), polish ? 1 : 0);
            if (polish)
                QVERIFY(logs.contains("[Mirvo] polisher: LLM (chat%1%2)"));
        }
    }
};

QTEST_MAIN(AppLaunchTest)
#include "AppLaunchTest.moc"
