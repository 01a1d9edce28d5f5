// Mirvo as a person meets it: the built binary on a private X server with a tray, a sound server
// whose microphone hears what is played, a text field in another program, and homes of its own,
// driven through XTest, signals, the tray menu and other launches.
#include "gui/OnboardingView.h"
#include "gui/OnboardingWindow.h"
#include "platform/linux/LinuxPlatform.h"
#include "support/TestDesktop.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLayout>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QString checklistTitle = QStringLiteral("Welcome to Mirvo");
// "Quit Mirvo" in the tray menu after a dictation: below About, Check for Updates, Setup
// Checklist, Settings, Paste Last Dictation, Recent Dictations and Launch at Login.
constexpr int quitDowns = 8;
const QString sampleText = QStringLiteral("please send the quarterly report to the finance team "
                                          "before noon the meeting has moved to thursday");

// Where a checklist button is on the screen: the same view, laid out here in the same state,
// placed where the real window is.
QPoint checklistButton(std::initializer_list<OnboardingStep> granted, OnboardingStep step,
                       const QString& label, const QString& keyMissing = {}) {
    LinuxPlatform platform;
    const OnboardingTexts texts{QStringLiteral("Right Ctrl"),
                                keyMissing.isEmpty() ? platform.capabilities().keyInstructions
                                                     : keyMissing,
                                platform.texts()};
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

} // namespace

class DesktopScenarioTest : public QObject {
    Q_OBJECT

    TestDesktop desktop;

private slots:
    void initTestCase() { QVERIFY2(desktop.start(sampleText), qPrintable(desktop.error())); }

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
            {"Quit Mirvo", [&](MirvoProcess&) { desktop.pickFromTrayMenu(quitDowns); }},
            {"SIGTERM", [](MirvoProcess& app) { app.signal(SIGTERM); }},
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
            // Outside test mode the log has the transcript's length, not its words.
            QVERIFY(app->log().contains(
                QRegularExpression(R"(\[Mirvo\] raw transcript: \(\d+ characters\))")));
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

    // Answers as a Linux program does, with no desktop session needed.
    // A test-mode Mirvo dictating the speech sample shows the words heard while the key is
    // still down: the HUD widens for them (a 104-px capsule without). Saved as a screenshot.
    void theHudShowsTheWordsHeardWhileTheKeyIsDown() {
        QTemporaryDir dir;
        MirvoProcess mirvo(dir.path(),
                           {"MIRVO_TEST_MODE=1",
                            "MIRVO_TEST_AUDIO=" MIRVO_SOURCE_DIR "/resources/demo/speech.wav",
                            "HOME=" + dir.path(), "XDG_CONFIG_HOME=" + dir.path(),
                            "XDG_RUNTIME_DIR=" + dir.path()});
        QVERIFY(mirvo.waitFor("[Mirvo/Transcriber] speech model ready"));
        mirvo.signal(SIGUSR1);
        QTRY_COMPARE_WITH_TIMEOUT(windowNamed("Mirvo HUD").width(), 320, 10000);
        QTest::qWait(300); // faded in
        const QRect hud = windowNamed("Mirvo HUD");
        QDir().mkpath(MIRVO_SCREENSHOT_DIR);
        QVERIFY(QApplication::primaryScreen()
                    ->grabWindow(0, hud.x(), hud.y(), hud.width(), hud.height())
                    .save(MIRVO_SCREENSHOT_DIR "/hud-words-test-mode.png"));
        mirvo.signal(SIGUSR2);
        QVERIFY(mirvo.waitFor("[Mirvo] pasted"));
    }

    void theCommandLineAnswers() {
        const QString home = desktop.newHome();
        const QStringList bare =
            TestDesktop::environment(home) + QStringList{"DISPLAY=", "WAYLAND_DISPLAY="};
        const QList<std::tuple<QStringList, int, QString>> lines = {
            {{"--help"}, 0, "--paste-last"},
            {{"--help"}, 0, "MIRVO_TEST_MODE"},
            {{"--version"}, 0, "mirvo " MIRVO_VERSION},
            {{"--nonsense"}, 2, "Usage: mirvo"},
            {{"--hold", "--release"}, 2, "Usage: mirvo"},
            {{"--paste-last"}, 1, "mirvo: --paste-last: Mirvo is not running"},
            {{}, 1, "mirvo: Mirvo needs a desktop session: DISPLAY is not set\n"},
        };
        for (const auto& [arguments, status, said] : lines) {
            QString output;
            QCOMPARE(MirvoProcess::commandStatus(home, bare, arguments, &output), status);
            QVERIFY2(output.contains(said), qPrintable(output));
        }
    }

    void theTrayComesAndGoesWithThePanel() {
        auto app = desktop.launch(desktop.newHome(), {"MIRVO_TEST_MODE=1"});
        QVERIFY(app->waitFor("[Mirvo] no system tray yet"));
        for (int round = 1; round <= 2; ++round) {
            QVERIFY(desktop.startTray());
            QTRY_COMPARE_WITH_TIMEOUT(desktop.trayIcons().size(), 1, 10000);
            QVERIFY(app->waitFor("[Mirvo] system tray available", round, 5000));
            desktop.stopTray();
            QVERIFY(app->waitFor("[Mirvo] system tray gone", round, 5000));
        }
        QVERIFY(app->isRunning());
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
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(home + "/config/autostart/ai.mirvo.Mirvo.desktop"),
                                 5000);

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
        QFile defaults(home + "/config/Mirvo/defaults.conf");
        QVERIFY(defaults.open(QIODevice::ReadOnly) &&
                defaults.readAll().contains("ai.mirvo.onboardingCompleted=true"));
        QVERIFY(desktop.own({{"text/plain", "what the user had"}}));
        QVERIFY(desktop.focusTarget());
        const QString before = desktop.typed();
        QVERIFY(desktop.dictate());
        QVERIFY(app->waitFor("[Mirvo] pasted"));
        QTRY_VERIFY_WITH_TIMEOUT(desktop.typed().mid(before.size()).contains("quarterly"), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(desktop.clipboard(), QByteArray("what the user had"), 5000);
        desktop.pickFromTrayMenu(quitDowns);
        QVERIFY(app->exitsCleanly(5000));
    }

    // The kernel's lock decides who is Mirvo: among launches at the same moment, and after one
    // that was killed.
    void oneMirvoPerSession() {
        const QString home = desktop.newHome();
        const auto launchIn = [&](const QString& name) {
            const QString dir = home + "/" + name;
            QDir().mkpath(dir);
            return std::make_unique<MirvoProcess>(
                dir, TestDesktop::environment(home) + QStringList{"MIRVO_TEST_MODE=1"},
                "offscreen");
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
        QCOMPARE(primaries, 1);
        QVERIFY(primary->waitFor("[Mirvo] another launch forwarded its command line", 9));

        // Killed: the kernel lets the lock go, and the next launch is Mirvo at once.
        primary->signal(SIGKILL);
        QVERIFY(!primary->exitsCleanly(5000));
        QElapsedTimer clock;
        clock.start();
        auto next = launchIn("next");
        QVERIFY(next->waitFor("[Mirvo] launched (", 1, 10000));
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(MirvoProcess::command(home, TestDesktop::environment(home), {"--toggle"}));
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
        QCOMPARE(survivors, 1);
        QString said;
        QVERIFY2(MirvoProcess::command(home, TestDesktop::environment(home) + wayland, {"--toggle"},
                                       &said),
                 qPrintable(said));
        QTRY_VERIFY(app->log().contains("[Mirvo] --toggle ignored: dictation has not started yet"));
    }
};

QTEST_MAIN(DesktopScenarioTest)
#include "DesktopScenarioTest.moc"
