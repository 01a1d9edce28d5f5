// Mirvo as a person meets it: the built binary on a private X server with a tray, a sound server
// whose microphone hears what is played, a text field in another program, and homes of its own,
// driven through XTest, signals, the tray menu and other launches.
#include "gui/OnboardingWindow.h"
#include "platform/linux/desktop/LinuxPlatform.h"
#include "support/DesktopHelpers.h"
#include "support/LoopbackHTTPServer.h"
#include "support/SpokenText.h"
#include "support/XvfbServer.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLayout>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <csignal>
#include <cstdio>

namespace {

const QString checklistTitle = QStringLiteral("Welcome to Mirvo");
const QString sampleText = QStringLiteral("please send the quarterly report to the finance team "
                                          "before noon the meeting has moved to thursday");
const QString sample = QStringLiteral(MIRVO_SOURCE_DIR "/resources/demo/speech.wav");

double wer(const QString& heard, const QString& spoken = sampleText) {
    return SpokenText::wordErrorRate(SpokenText::words(spoken), SpokenText::words(heard));
}

// Where a checklist button is on the screen: the same view, laid out here in the same state,
// placed where the real window is.
QPoint checklistButton(std::initializer_list<OnboardingStep> granted, OnboardingStep step,
                       const QString& label, const QString& keyAccessProblem = {}) {
    const OnboardingTexts texts{QStringLiteral("Right Ctrl"), keyAccessProblem,
                                LinuxPlatform().texts()};
    OnboardingViewModel model;
    OnboardingState state;
    for (OnboardingStep g : granted)
        state[g] = OnboardingStepStatus::granted;
    model.setState(state);
    OnboardingView view(model, texts, {[](OnboardingStep) {}, [] {}, [] {}, [] {}, [] {}});
    view.setAttribute(Qt::WA_DontShowOnScreen);
    view.resize(view.fittingSize());
    view.show();
    view.layout()->activate();
    QWidget* row =
        step == OnboardingStep::fnKeyDemo ? nullptr : view.findChild<QWidget*>(rawValue(step));
    QPushButton* button = row ? row->findChild<QPushButton*>(label) : view.continueButton();
    return windowNamed(checklistTitle).topLeft() + button->mapTo(&view, button->rect().center());
}

void click(const QPoint& at) {
    clickAt(at.x(), at.y());
}

// The pid in the first "[Mirvo] launched (pid=…" line of `log` at or after `from`; 0 for none.
pid_t launchedPid(const QString& log, qsizetype from = 0) {
    const QString marker = QStringLiteral("[Mirvo] launched (pid=");
    const qsizetype at = log.indexOf(marker, from);
    return at < 0 ? 0 : pid_t(log.mid(at + marker.size()).section(',', 0, 0).toInt());
}

bool alive(pid_t pid) {
    return pid > 0 && QFile::exists(QStringLiteral("/proc/%1").arg(pid));
}

void writeConfig(const QString& home, const QString& base, bool polish) {
    QDir().mkpath(home + "/config/Mirvo");
    QFile f(home + "/config/Mirvo/config.json");
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
    f.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}

// Outside test mode neither the words a user dictates nor the proxy key reach the log or any
// file Mirvo keeps (the system journal gets the same lines).
void nothingPrivateIn(const MirvoProcess& app, const QString& home, const QStringList& words) {
    QStringList texts = {app.log()};
    QDirIterator files(home + "/config", QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.fileName().endsWith("config.json") && file.open(QIODevice::ReadOnly))
            texts.append(QString::fromUtf8(file.readAll()));
    }
    for (const QString& text : texts)
        for (const QString& word : words + QStringList{"e2e-key"})
            QVERIFY2(!text.contains(word, Qt::CaseInsensitive), qPrintable(word));
}

} // namespace

class DesktopScenarioTest : public QObject {
    Q_OBJECT

    Desktop desktop;

private slots:
    void initTestCase() { QVERIFY2(desktop.start(sampleText), qPrintable(desktop.error())); }

    void testModeDictatesTheFileOntoTheClipboard() {
        const QString home = desktop.newHome();
        const QString later = home + "/arrives-later.wav";
        auto app = desktop.launch(home, {"MIRVO_TEST_MODE=1", "MIRVO_TEST_AUDIO=" + later});
        QVERIFY(app->waitFor("[Mirvo] coordinator up (test mode)"));
        // The file is not there yet: the start fails, the up that follows changes nothing.
        app->signal(SIGUSR1);
        QVERIFY(app->waitFor("Couldn't start dictation."));
        app->signal(SIGUSR2);
        QVERIFY(app->waitFor("[Mirvo] hotkey event: up"));
        QVERIFY(!app->log().contains("awaiting transcript"));

        QVERIFY(QFile::copy(sample, later));
        app->signal(SIGUSR1);
        QVERIFY(app->waitFor("[Mirvo] hotkey event: down", 2));
        app->signal(SIGUSR1); // a repeat: logged and ignored
        QVERIFY(app->waitFor("[Mirvo] hotkey event: down", 3));
        QTest::qWait(200); // the file comes 50 ms after the start
        app->signal(SIGUSR2);
        QVERIFY(app->waitFor("[Mirvo] pasted"));
        QCOMPARE(app->count("[Mirvo] awaiting transcript…"), 1);
        const QString pasted = QString::fromUtf8(desktop.clipboard());
        QVERIFY2(wer(pasted) <= 25, qPrintable(pasted));
        QVERIFY(app->log().contains("[Mirvo] raw transcript: \"" + pasted + "\""));
    }

    // Every way out while the dictated text is still on the clipboard (nobody fetches it, so the
    // restore waits): the user's contents go back first, and a clipboard manager keeps them.
    void quittingGivesTheClipboardBackFirst() {
        QVERIFY(desktop.startTray());
        const auto stopTray = qScopeGuard([&] { desktop.stopTray(); });
        const QString managerLog = desktop.dir() + "/manager.log";
        Subprocess manager;
        QVERIFY(manager.start(MIRVO_TEST_HELPER, {"clipboard-manager", managerLog}));
        const auto managerSaid = [&] {
            QFile f(managerLog);
            return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
        };
        QTRY_VERIFY(managerSaid().contains("ready"));
        const QString home = desktop.newHome();
        const QList<std::pair<QString, std::function<void(MirvoProcess&)>>> exits = {
            {"Quit Mirvo", [&](MirvoProcess&) { desktop.pickFromTrayMenu(5); }},
            {"SIGTERM", [](MirvoProcess& app) { app.signal(SIGTERM); }},
            {"SIGINT", [](MirvoProcess& app) { app.signal(SIGINT); }},
        };
        for (const auto& [name, leave] : exits) {
            const QByteArray mine = "what the user had before " + name.toUtf8();
            QVERIFY(desktop.own({{"text/plain", mine}}));
            auto app = desktop.launch(home);
            QVERIFY(app->waitFor("[Mirvo] coordinator up"));
            QVERIFY(desktop.closeChecklist(false)); // no field yet: nobody fetches the text
            QTRY_COMPARE_WITH_TIMEOUT(desktop.trayIcons().size(), 1, 10000);
            QTest::qWait(1000);
            QVERIFY(desktop.dictate());
            QVERIFY(app->waitFor("[Mirvo] pasted"));
            leave(*app);
            QVERIFY2(app->exitsCleanly(5000), qPrintable(name));
            QVERIFY2(app->log().contains("[Mirvo] clipboard restored before quitting"),
                     qPrintable(name));
            QVERIFY2(app->log().contains("[Mirvo] clipboard handed to the clipboard manager"),
                     qPrintable(name));
            QTRY_VERIFY2(managerSaid().contains("saved " + QString::fromUtf8(mine)),
                         qPrintable(managerSaid()));
            QCOMPARE(desktop.clipboard(), mine);
        }
    }

    // The key, key-binding commands and a toggle shortcut, each into another application, the
    // user's clipboard back after each, and no word of it in the log.
    void dictationsLandInAnotherApplication() {
        QVERIFY(desktop.own({{"text/plain", "what the user had"}}));
        const QString home = desktop.newHome();
        QString said;
        QVERIFY(!MirvoProcess::command(home, Desktop::environment(home), {"--hold"}, &said));
        QVERIFY2(said.contains("mirvo: --hold: Mirvo is not running"), qPrintable(said));
        auto app = desktop.launch(home);
        QVERIFY(app->waitFor("[Mirvo] coordinator up"));
        QVERIFY(desktop.closeChecklist());
        QTest::qWait(1000); // the speech model warms up

        const auto command = [&](const char* argument) {
            return MirvoProcess::command(home, Desktop::environment(home), {argument});
        };
        const QList<std::function<void()>> dictations = {
            [&] { QVERIFY(desktop.dictate()); },
            [&] {
                QVERIFY(command("--hold") && command("--hold")); // a repeat changes nothing
                QVERIFY(desktop.pulse().play(desktop.speech()));
                QVERIFY(command("--release"));
            },
            [&] {
                QVERIFY(command("--toggle"));
                QVERIFY(desktop.pulse().play(desktop.speech()));
                QVERIFY(command("--toggle"));
            },
        };
        QString expected;
        for (int i = 0; i < dictations.size(); ++i) {
            dictations[i]();
            QVERIFY(app->waitFor("[Mirvo] pasted", i + 1));
            expected += (i ? " " : "") + sampleText;
            QTRY_VERIFY_WITH_TIMEOUT(wer(desktop.field().text(), expected) <= 25, 5000);
            QTRY_COMPARE_WITH_TIMEOUT(desktop.clipboard(), QByteArray("what the user had"), 5000);
        }
        QCOMPARE(app->count("[Mirvo] hotkey event: down"), 3);
        QVERIFY(app->log().contains(
            QRegularExpression(R"(\[Mirvo\] raw transcript: \(\d+ characters\))")));
        nothingPrivateIn(*app, home, {"quarterly", "finance", "meeting"});
    }

    void cloudTextAndPolishingWinAndFallBack() {
        LoopbackHTTPServer proxy;
        const QString home = desktop.newHome();
        writeConfig(home, proxy.baseURL(), true);
        auto app = desktop.launch(home);
        QVERIFY(app->waitFor("[Mirvo] coordinator up"));
        QVERIFY(desktop.closeChecklist());
        QTest::qWait(1000);
        const QString before = desktop.field().text();

        // The cloud's text wins; polishing replaces it.
        proxy.answer(200, R"({"text":"cloud words here"})");
        proxy.answer(200, R"({"choices":[{"message":{"content":"Polished cloud words."}}]})");
        QVERIFY(desktop.dictate());
        QVERIFY(app->waitFor("[Mirvo] pasted"));
        QTRY_COMPARE_WITH_TIMEOUT(desktop.field().text(), before + "Polished cloud words.", 5000);
        QVERIFY(app->log().contains("[Mirvo] raw transcript: (16 characters)"));
        QCOMPARE(proxy.requests().size(), 2);

        // A failing proxy: the on-device words, unpolished.
        proxy.answer(500, "upstream down");
        proxy.answer(500, "upstream down");
        const QString polished = desktop.field().text();
        QVERIFY(desktop.dictate());
        QVERIFY(app->waitFor("[Mirvo] pasted", 2));
        QTRY_VERIFY_WITH_TIMEOUT(desktop.field().text().size() > polished.size(), 5000);
        QVERIFY2(wer(desktop.field().text().mid(polished.size())) <= 25,
                 qPrintable(desktop.field().text()));
        QVERIFY(app->log().contains("[Mirvo/Polisher] failed: polish: HTTP 500: (13 characters)"));
        nothingPrivateIn(*app, home, {"quarterly", "cloud words", "upstream down"});
    }

    void theTrayComesAndGoesWithThePanel() {
        const QString home = desktop.newHome();
        auto app = desktop.launch(home, {"MIRVO_TEST_MODE=1"});
        QVERIFY(app->waitFor("[Mirvo] no system tray yet"));
        for (int round = 1; round <= 2; ++round) {
            QVERIFY(desktop.startTray());
            QTRY_COMPARE_WITH_TIMEOUT(desktop.trayIcons().size(), 1, 10000);
            QVERIFY(app->waitFor("[Mirvo] system tray available", round, 5000));
            desktop.stopTray();
            QVERIFY(app->waitFor("[Mirvo] system tray gone", round, 5000));
        }
        QVERIFY(app->isRunning());

        // No display: one line, status 1, no core dump.
        const QString out = home + "/nodisplay.txt";
        Subprocess bare;
        QVERIFY(bare.start("env", {"-u", "DISPLAY", "-u", "QT_QPA_PLATFORM", MIRVO_BINARY}, {}, {},
                           out));
        QVERIFY(!bare.waitForSuccess(5000));
        QFile said(out);
        QVERIFY(said.open(QIODevice::ReadOnly));
        QCOMPARE(said.readAll(),
                 QByteArray("mirvo: Mirvo needs a desktop session: DISPLAY is not set\n"));
    }

    void theTrayMenuAndASecondLaunch() {
        QVERIFY(desktop.startTray());
        const auto stopTray = qScopeGuard([&] { desktop.stopTray(); });
        const QString home = desktop.newHome();
        auto app = desktop.launch(home, {"MIRVO_TEST_MODE=1"});
        QTRY_COMPARE_WITH_TIMEOUT(desktop.trayIcons().size(), 1, 10000);

        // The menu, as the screen shows it.
        const QRect icon = desktop.trayIcons().first();
        clickAt(icon.center().x(), icon.center().y(), 3);
        QTest::qWait(500);
        const QString shot = QStringLiteral(MIRVO_SCREENSHOT_DIR "/tray-menu.png");
        QDir().mkpath(MIRVO_SCREENSHOT_DIR);
        QVERIFY(Subprocess::run("import",
                                {"-window", "root", "-crop", "240x140+1040+0", "+repage", shot}));
        QVERIFY(!QImage(shot).isNull());
        fakeKey("Escape", true);
        fakeKey("Escape", false);
        QTest::qWait(200);

        // "Launch at Login", the fourth item, writes and removes the autostart entry.
        const QString entry = home + "/config/autostart/mirvo.desktop";
        desktop.pickFromTrayMenu(4);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(entry), 5000);
        desktop.pickFromTrayMenu(4);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(entry), 5000);

        // A second launch hands its command line over and ends.
        const QString secondDir = home + "/second";
        QDir().mkpath(secondDir);
        MirvoProcess second(secondDir, Desktop::environment(home), "xcb",
                            {"mirvo://open?from=second", "%%garbage"});
        QVERIFY(second.exitsCleanly(5000));
        QVERIFY(app->waitFor("[Mirvo] another launch forwarded its command line"));
        QVERIFY(app->waitFor("[Mirvo] handleURLEvent: mirvo://open?from=second"));
        QCOMPARE(app->count("handleURLEvent"), 1);

        desktop.pickFromTrayMenu(5); // "Quit Mirvo"
        QVERIFY(app->exitsCleanly(5000));
    }

    void aNewcomerGetsFromTheChecklistToAPastedDictation() {
        QVERIFY(desktop.startTray());
        const auto stopTray = qScopeGuard([&] { desktop.stopTray(); });
        const QString home = desktop.newHome(true);
        using S = OnboardingStep;
        auto app = desktop.launch(home);
        QTRY_VERIFY_WITH_TIMEOUT(windowNamed(checklistTitle).isValid(), 10000);
        QVERIFY(app->waitFor("ax=granted fn=pending all=false"));
        QVERIFY(!app->log().contains("startCoordinator() entered"));

        // "I've done this": dictation can work, and the coordinator comes up; "Enable": launch
        // at login.
        const auto four = {S::speechRecognition, S::microphone, S::dictationEnabled,
                           S::accessibility};
        click(checklistButton(four, S::fnKeyRemap, "I've done this"));
        QVERIFY(app->waitFor("[Mirvo/Onboarding] permissionsReady → starting coordinator"));
        QVERIFY(app->waitFor("[Mirvo] coordinator up"));
        const auto five = {S::speechRecognition, S::microphone, S::dictationEnabled,
                           S::accessibility, S::fnKeyRemap};
        click(checklistButton(five, S::launchAtLogin, "Enable"));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(home + "/config/autostart/mirvo.desktop"), 5000);

        // The first dictation lands in the try-it box, and nothing is pasted.
        QTest::qWait(1000);
        QVERIFY(desktop.dictate());
        QVERIFY(app->waitFor("[Mirvo/Onboarding] fnKeyDemo=true", 1, 20000));
        QVERIFY(!app->log().contains("[Mirvo] pasted"));
        QVERIFY(app->waitFor("all=true"));

        // "Start dictating"; then the words go where the user types, clipboard kept.
        click(checklistButton({S::speechRecognition, S::microphone, S::dictationEnabled,
                               S::accessibility, S::fnKeyRemap, S::launchAtLogin, S::fnKeyDemo},
                              S::fnKeyDemo, QString()));
        QTRY_VERIFY_WITH_TIMEOUT(!windowNamed(checklistTitle).isValid(), 5000);
        QVERIFY(desktop.own({{"text/plain", "what the user had"}}));
        const QString before = desktop.field().text();
        QVERIFY(desktop.dictate());
        QVERIFY(app->waitFor("[Mirvo] pasted"));
        QTRY_VERIFY_WITH_TIMEOUT(desktop.field().text().mid(before.size()).contains("quarterly"),
                                 5000);
        QTRY_COMPARE_WITH_TIMEOUT(desktop.clipboard(), QByteArray("what the user had"), 5000);
        desktop.pickFromTrayMenu(5); // Quit Mirvo
        QVERIFY(app->exitsCleanly(5000));
    }

    // The kernel's lock decides who is Mirvo: among launches at the same moment, behind a
    // primary that is too busy to answer for a while, and after one that was killed.
    void oneMirvoPerSession() {
        const QString home = desktop.newHome();
        const auto launchIn = [&](const QString& name) {
            const QString dir = home + "/" + name;
            QDir().mkpath(dir);
            return std::make_unique<MirvoProcess>(
                dir, Desktop::environment(home) + QStringList{"MIRVO_TEST_MODE=1"}, "offscreen");
        };
        std::vector<std::unique_ptr<MirvoProcess>> launches;
        for (int i = 0; i < 10; ++i)
            launches.push_back(launchIn(QStringLiteral("race-%1").arg(i)));
        QTRY_VERIFY_WITH_TIMEOUT(std::count_if(launches.begin(), launches.end(),
                                               [](auto& l) { return l->isRunning(); }) == 1,
                                 30000);
        MirvoProcess* primary = nullptr;
        int primaries = 0;
        for (auto& launch : launches) {
            if (launch->log().contains("[Mirvo] launched (")) {
                ++primaries;
                primary = launch.get();
            } else {
                QVERIFY2(launch->exitsCleanly(0), qPrintable(launch->log()));
            }
        }
        std::printf("instance_race_primaries %d primaries\n", primaries);
        QCOMPARE(primaries, 1);
        QVERIFY(primary->waitFor("[Mirvo] another launch forwarded its command line", 9));

        // Its main thread stopped for four seconds: the next launch waits, then hands over.
        primary->signal(SIGSTOP);
        auto patient = launchIn("patient");
        QTest::qWait(4000);
        QVERIFY(patient->isRunning());
        primary->signal(SIGCONT);
        QVERIFY2(patient->exitsCleanly(10000), qPrintable(patient->log()));
        QVERIFY(!patient->log().contains("[Mirvo] launched ("));

        // Killed: the kernel lets the lock go, and the next launch is Mirvo at once.
        primary->signal(SIGKILL);
        QVERIFY(!primary->exitsCleanly(5000));
        QElapsedTimer clock;
        clock.start();
        auto next = launchIn("next");
        QVERIFY(next->waitFor("[Mirvo] launched (", 1, 10000));
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(MirvoProcess::command(home, Desktop::environment(home), {"--toggle"}));
        QVERIFY(next->waitFor("[Mirvo] hotkey event: down"));
    }

    // "Restart Mirvo" on the checklist: a new Mirvo, and only one. (A sway session whose
    // compositor does not answer leaves the accessibility step open, where the button is.)
    void restartLeavesOneMirvo() {
        const QString home = desktop.newHome(true);
        const QStringList wayland = {"MIRVO_SESSION=wayland", "XDG_CURRENT_DESKTOP=sway"};
        auto app = desktop.launch(home, wayland);
        QTRY_VERIFY_WITH_TIMEOUT(windowNamed(checklistTitle).isValid(), 10000);
        QVERIFY(app->waitFor("dictation=granted ax=pending fn=pending all=false"));
        const pid_t first = launchedPid(app->log());
        using S = OnboardingStep;
        click(checklistButton(
            {S::speechRecognition, S::microphone, S::dictationEnabled}, S::accessibility,
            "Restart Mirvo",
            "The compositor does not offer the clipboard to Mirvo (wlr-data-control)."));
        QVERIFY2(app->exitsCleanly(5000), qPrintable(app->log().right(3000)));
        // The copy writes to the same log; it becomes Mirvo once its parent has gone.
        QVERIFY(QTest::qWaitFor([&] { return app->count("[Mirvo] launched (") == 2; }, 15000));
        const QString log = app->log();
        const pid_t second = launchedPid(log, log.lastIndexOf("[Mirvo] launched ("));
        // Not a child of this test: it is ended here whatever happens below.
        const auto end = qScopeGuard([second] {
            ::kill(second, SIGTERM);
            (void)QTest::qWaitFor([second] { return !alive(second); }, 10000);
        });
        QVERIFY(second != first && alive(second));
        const int survivors = int(alive(first)) + int(alive(second));
        std::printf("restart_survivors %d processes\n", survivors);
        QCOMPARE(survivors, 1);
        QString said;
        QVERIFY2(
            MirvoProcess::command(home, Desktop::environment(home) + wayland, {"--toggle"}, &said),
            qPrintable(said));
        QTRY_VERIFY(app->log().contains("[Mirvo] --toggle ignored: dictation has not started yet"));
    }

    // Fifty dictations back to back, each over clipboard contents another program owns: every
    // one is answered, and the user's clipboard reads back byte for byte after each.
    void fiftyDictationsKeepEveryClipboard() {
        const QStringList phrases = {"yes", "hello there", "please call me back",
                                     "send the report to the team today",
                                     "the meeting has moved to thursday afternoon"};
        QStringList clips;
        for (int i = 0; i < phrases.size(); ++i) {
            clips.append(desktop.dir() + QStringLiteral("/clip-%1.wav").arg(i));
            QVERIFY(SpokenText::synthesize({phrases[i]}, clips.last()));
        }
        QImage image(64, 48, QImage::Format_RGB32);
        image.fill(QColor(40, 120, 200));
        QByteArray png;
        QBuffer pngBuffer(&png);
        QVERIFY(pngBuffer.open(QIODevice::WriteOnly) && image.save(&pngBuffer, "PNG"));
        const QList<ClipboardContents> contents = {
            {{"text/plain", "plain words the user copied"}},
            {{"text/plain", "formatted words"}, {"text/html", "<b>formatted</b> words"}},
            {{"image/png", png}},
            {{"application/x-mirvo-test", QByteArray("\x00\x01\xfe\xff binary", 11)}},
        };
        const QString home = desktop.newHome();
        auto app = desktop.launch(home, {"MIRVO_UPDATE_MANIFEST_URL=http://127.0.0.1:9/none"});
        QVERIFY(app->waitFor("[Mirvo] coordinator up"));
        QVERIFY(desktop.closeChecklist());
        QTest::qWait(1000);
        const auto answered = [&] {
            return app->count("[Mirvo] pasted") +
                   app->count("[Mirvo] empty transcript — nothing to paste");
        };
        QRandomGenerator random(20261207);
        int restored = 0;
        const int dictations = 50;
        for (int i = 0; i < dictations; ++i) {
            const ClipboardContents& copied = contents[i % contents.size()];
            QVERIFY(desktop.own(copied));
            const int before = answered();
            fakeKey("Control_R", true);
            QTest::qWait(100);
            QVERIFY(desktop.pulse().play(clips[i % clips.size()]));
            QTest::qWait(100 + random.bounded(200));
            fakeKey("Control_R", false);
            QVERIFY2(QTest::qWaitFor([&] { return answered() > before; }, 15000),
                     qPrintable(QStringLiteral("dictation %1 unanswered").arg(i)));
            const bool same = QTest::qWaitFor(
                [&] {
                    for (const auto& [type, bytes] : copied)
                        if (desktop.clipboard(type) != bytes)
                            return false;
                    return true;
                },
                5000);
            restored += same ? 1 : 0;
            QVERIFY2(same, qPrintable(QStringLiteral("clipboard of dictation %1").arg(i)));
            QTest::qWait(random.bounded(150));
        }
        std::printf("clipboard_restored_percent %.1f %%\n", 100.0 * restored / dictations);
        QVERIFY(app->isRunning());
        QVERIFY(desktop.field().text().contains("thursday"));
    }
};

// The checklist needs a screen taller than it is.
MIRVO_X11_TEST_MAIN_ON(DesktopScenarioTest, "1280x1024")
#include "DesktopScenarioTest.moc"
