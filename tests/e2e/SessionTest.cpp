// Mirvo as a person meets it: the built binary on a private X server with a tray (trayer),
// a private sound server and temporary home folders, driven through XTest.
#include "mirvo/OnboardingWindow.h"
#include "support/DesktopHelpers.h"
#include "support/MirvoProcess.h"
#include "support/PulseAudioServer.h"
#include "support/SpokenText.h"
#include "support/Subprocess.h"
#include "support/XvfbServer.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLayout>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>

namespace {

const QString checklistTitle = QStringLiteral("Welcome to Mirvo");
const QString sampleText = QStringLiteral("please send the quarterly report to the finance team "
                                          "before noon the meeting has moved to thursday");

bool startTray(Subprocess& tray) {
    return tray.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel",
                                 "--width", "120", "--height", "28"});
}

// The icons the tray holds: the windows embedded in trayer's panel (beside a 1 × 1 of its own).
QList<QRect> trayIcons() {
    QList<QRect> icons = mappedChildrenOf(QStringLiteral("panel"));
    icons.removeIf([](const QRect& r) { return r.width() < 8; });
    return icons;
}

// Where a checklist button is on the screen: the same view, laid out here in the same state,
// placed where the real window is.
QPoint checklistButton(const OnboardingState& state, OnboardingStep step, const QString& label,
                       const OnboardingTexts& texts = {}) {
    OnboardingViewModel model;
    model.setState(state);
    OnboardingView view(model, texts, {[](OnboardingStep) {}, [] {}, [] {}, [] {}, [] {}});
    view.setAttribute(Qt::WA_DontShowOnScreen);
    view.resize(view.fittingSize());
    view.show();
    view.layout()->activate();
    QWidget* row =
        step == OnboardingStep::fnKeyDemo ? nullptr : view.findChild<QWidget*>(rawValue(step));
    QPushButton* button = row ? row->findChild<QPushButton*>(label) : view.continueButton();
    const QRect window = windowNamed(checklistTitle);
    return window.topLeft() + button->mapTo(&view, button->rect().center());
}

OnboardingState granted(std::initializer_list<OnboardingStep> steps) {
    OnboardingState state;
    for (OnboardingStep step : steps)
        state[step] = OnboardingStepStatus::granted;
    return state;
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

class SessionTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString speechPath;
    int homes = 0;

    // A fresh home for one user: its config folder.
    QString newHome() {
        const QString home = dir.filePath(QStringLiteral("home-%1").arg(++homes));
        QDir().mkpath(home + "/config");
        QDir().mkpath(home + "/run");
        QFile::setPermissions(home + "/run",
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return home;
    }
    static QStringList environment(const QString& home) {
        return {"XDG_CONFIG_HOME=" + home + "/config", "XDG_RUNTIME_DIR=" + home + "/run",
                "HOME=" + home};
    }
    void dictate(PulseAudioServer& pulse) { QVERIFY(dictateThroughTheKey(pulse, speechPath)); }
    // Opens the tray menu and picks the item `downs` places down.
    void pickFromTrayMenu(int downs) {
        const QList<QRect> icons = trayIcons();
        QCOMPARE(icons.size(), 1);
        clickAt(icons.first().center().x(), icons.first().center().y(), 3);
        QTest::qWait(400);
        for (int i = 0; i < downs; ++i) {
            fakeKey("Down", true);
            fakeKey("Down", false);
            QTest::qWait(60);
        }
        fakeKey("Return", true);
        fakeKey("Return", false);
    }

private slots:
    void initTestCase() {
        speechPath = dir.filePath("spoken.wav");
        QVERIFY(SpokenText::synthesize({sampleText}, speechPath));
    }

    void launchesDecideBetweenChecklistAndDictation() {
        {
            const QString home = newHome();
            MirvoProcess first(home, environment(home));
            QVERIFY(first.waitFor("seen=false, force=false)"));
            QTRY_VERIFY_WITH_TIMEOUT(windowNamed(checklistTitle).isValid(), 10000);
            QVERIFY(first.waitFor("[Mirvo/Onboarding] evaluate() end", 2));
            QVERIFY(!first.log().contains("startCoordinator() entered"));
        }
        {
            const QString home = newHome();
            QVERIFY(MirvoProcess::markChecklistCompleted(home + "/config"));
            MirvoProcess forced(home, environment(home) + QStringList{"MIRVO_FORCE_ONBOARDING=1"});
            QVERIFY(forced.waitFor("seen=true, force=true)"));
            QTRY_VERIFY_WITH_TIMEOUT(windowNamed(checklistTitle).isValid(), 10000);
            QVERIFY(forced.waitFor("[Mirvo/Onboarding] evaluate() end", 2));
            QVERIFY(!forced.log().contains("startCoordinator() entered"));
        }
        {
            const QString home = newHome();
            MirvoProcess test(home, environment(home) + QStringList{"MIRVO_TEST_MODE=1"});
            QVERIFY(test.waitFor("[Mirvo] coordinator up (test mode)"));
            QTest::qWait(500);
            QVERIFY(!windowNamed(checklistTitle).isValid());
            QVERIFY(!test.log().contains("[Mirvo/Onboarding]"));
        }

        // No desktop: one line, status 1, no core dump.
        const QString out = dir.filePath("nodisplay.txt");
        Subprocess bare;
        QVERIFY(bare.start("env", {"-u", "DISPLAY", "-u", "QT_QPA_PLATFORM", MIRVO_BINARY}, {}, {},
                           out));
        QVERIFY(!bare.waitForSuccess(5000));
        QFile said(out);
        QVERIFY(said.open(QIODevice::ReadOnly));
        QCOMPARE(said.readAll(),
                 QByteArray("mirvo: Mirvo needs a desktop session: DISPLAY is not set\n"));
    }

    // The kernel's lock decides who is Mirvo: among launches at the same moment, behind a
    // primary that is too busy to answer for a while, and after one that was killed.
    void oneMirvoPerSession() {
        const QString home = newHome();
        const QStringList env = environment(home) + QStringList{"MIRVO_TEST_MODE=1"};
        const auto launchIn = [&](const QString& name) {
            const QString dir = home + "/" + name;
            QDir().mkpath(dir);
            return std::make_unique<MirvoProcess>(dir, env, "offscreen");
        };
        std::vector<std::unique_ptr<MirvoProcess>> launches;
        for (int i = 0; i < 10; ++i)
            launches.push_back(launchIn(QStringLiteral("race-%1").arg(i)));
        const auto running = [&] {
            return std::count_if(launches.begin(), launches.end(),
                                 [](auto& launch) { return launch->isRunning(); });
        };
        QTRY_VERIFY_WITH_TIMEOUT(running() == 1, 30000);
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
        QVERIFY(primary->isRunning());
        QVERIFY(primary->waitFor("[Mirvo] another launch forwarded its command line", 9));

        // Its main thread stopped for four seconds: the next launch waits, then hands over.
        primary->signal(SIGSTOP);
        auto patient = launchIn("patient");
        QTest::qWait(4000);
        QVERIFY(patient->isRunning());
        primary->signal(SIGCONT);
        QVERIFY2(patient->exitsCleanly(10000), qPrintable(patient->log()));
        QVERIFY(!patient->log().contains("[Mirvo] launched ("));
        QVERIFY(primary->waitFor("[Mirvo] another launch forwarded its command line", 10));

        // Killed: the kernel lets the lock go, and the next launch is Mirvo at once.
        primary->signal(SIGKILL);
        QVERIFY(!primary->exitsCleanly(5000));
        QElapsedTimer clock;
        clock.start();
        auto next = launchIn("next");
        QVERIFY(next->waitFor("[Mirvo] launched (", 1, 10000));
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(MirvoProcess::command(home, env, {"--toggle"}));
        QVERIFY(next->waitFor("[Mirvo] hotkey event: down"));
    }

    // "Restart Mirvo" on the checklist: a new Mirvo, and only one. (A sway session whose
    // compositor does not answer leaves the accessibility step open, where the button is.)
    void restartLeavesOneMirvo() {
        PulseAudioServer pulse;
        QVERIFY2(pulse.start(), qPrintable(pulse.error()));
        const QString home = newHome();
        const QStringList env =
            environment(home) + QStringList{"MIRVO_SESSION=wayland", "XDG_CURRENT_DESKTOP=sway"};
        MirvoProcess app(home, env);
        QTRY_VERIFY_WITH_TIMEOUT(windowNamed(checklistTitle).isValid(), 10000);
        QVERIFY(app.waitFor("dictation=granted ax=pending fn=pending all=false"));
        const pid_t first = launchedPid(app.log());
        using S = OnboardingStep;
        OnboardingTexts texts;
        texts.accessibilityProblem =
            "The compositor does not offer the clipboard to Mirvo (wlr-data-control).";
        const QPoint restart =
            checklistButton(granted({S::speechRecognition, S::microphone, S::dictationEnabled}),
                            S::accessibility, "Restart Mirvo", texts);
        clickAt(restart.x(), restart.y());
        QVERIFY2(app.exitsCleanly(5000), qPrintable(app.log().right(3000)));
        // The copy writes to the same log; it becomes Mirvo once its parent has gone.
        QVERIFY(QTest::qWaitFor([&] { return app.count("[Mirvo] launched (") == 2; }, 15000));
        const QString log = app.log();
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
        QVERIFY2(MirvoProcess::command(home, env, {"--toggle"}, &said), qPrintable(said));
        QTRY_VERIFY(app.log().contains("[Mirvo] --toggle ignored: dictation has not started yet"));
    }

    void trayComesAndGoesWithThePanel() {
        const QString home = newHome();
        MirvoProcess app(home, environment(home) + QStringList{"MIRVO_TEST_MODE=1"});
        QVERIFY(app.waitFor("[Mirvo] no system tray yet"));
        QTest::qWait(3000);
        Subprocess tray;
        QVERIFY(startTray(tray));
        QTRY_COMPARE_WITH_TIMEOUT(trayIcons().size(), 1, 10000);
        QVERIFY(app.waitFor("[Mirvo] system tray available", 1, 5000));
        tray.stop();
        QVERIFY(app.waitFor("[Mirvo] system tray gone", 1, 5000));
        Subprocess again;
        QVERIFY(startTray(again));
        QTRY_COMPARE_WITH_TIMEOUT(trayIcons().size(), 1, 10000);
        QVERIFY(app.waitFor("[Mirvo] system tray available", 2, 5000));
        QVERIFY(app.isRunning());
    }

    void trayMenuSecondLaunchAndQuit() {
        Subprocess tray;
        QVERIFY(startTray(tray));
        const QString home = newHome();
        MirvoProcess app(home, environment(home) + QStringList{"MIRVO_TEST_MODE=1"});
        QTRY_COMPARE_WITH_TIMEOUT(trayIcons().size(), 1, 10000);

        // The menu, as the screen shows it.
        const QRect icon = trayIcons().first();
        clickAt(icon.center().x(), icon.center().y(), 3);
        QTest::qWait(500);
        const QString shot = QStringLiteral(MIRVO_SCREENSHOT_DIR "/tray-menu.png");
        QDir().mkpath(MIRVO_SCREENSHOT_DIR);
        QFile::remove(shot);
        QVERIFY(Subprocess::run("import",
                                {"-window", "root", "-crop", "240x140+1040+0", "+repage", shot}));
        QVERIFY(!QImage(shot).isNull());
        fakeKey("Escape", true);
        fakeKey("Escape", false);
        QTest::qWait(200);

        // "Launch at Login", the fourth item, writes and removes the autostart entry.
        const QString entry = home + "/config/autostart/mirvo.desktop";
        pickFromTrayMenu(4);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(entry), 5000);
        pickFromTrayMenu(4);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(entry), 5000);

        // A second launch hands its command line over and ends.
        const QString secondDir = home + "/second";
        QDir().mkpath(secondDir);
        MirvoProcess second(secondDir, environment(home), "xcb",
                            {"mirvo://open?from=second", "%%garbage"});
        QVERIFY(second.exitsCleanly(5000));
        QVERIFY(app.waitFor("[Mirvo] another launch forwarded its command line"));
        QVERIFY(app.waitFor("[Mirvo] handleURLEvent: mirvo://open?from=second"));
        QCOMPARE(app.count("handleURLEvent"), 1);

        // "Quit Mirvo", the last item.
        pickFromTrayMenu(5);
        QVERIFY(app.exitsCleanly(5000));
    }

    void quittingGivesTheClipboardBackFirst() {
        PulseAudioServer pulse;
        QVERIFY2(pulse.start(), qPrintable(pulse.error()));
        Subprocess tray;
        QVERIFY(startTray(tray));
        const QString managerLog = dir.filePath("manager.log");
        Subprocess manager;
        QVERIFY(manager.start(MIRVO_CLIPBOARD_MANAGER, {managerLog}));
        const auto managerSaid = [&] {
            QFile f(managerLog);
            return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
        };
        QTRY_VERIFY(managerSaid().contains("ready"));
        const QString home = newHome();
        QVERIFY(MirvoProcess::markChecklistCompleted(home + "/config"));

        // Each way out while the dictated text is still on the clipboard (nobody fetches it,
        // so the restore waits): the user's contents go back first, and the clipboard manager
        // keeps those.
        const QList<std::pair<QString, std::function<void(MirvoProcess&)>>> exits = {
            {"Quit Mirvo", [&](MirvoProcess&) { pickFromTrayMenu(5); }},
            {"SIGTERM", [](MirvoProcess& app) { app.signal(SIGTERM); }},
            {"SIGINT", [](MirvoProcess& app) { app.signal(SIGINT); }},
        };
        for (const auto& [name, leave] : exits) {
            const QByteArray mine = "what the user had before " + name.toUtf8();
            QFile words(dir.filePath("clipboard.txt"));
            QVERIFY(words.open(QIODevice::WriteOnly | QIODevice::Truncate));
            words.write(mine);
            words.close();
            Subprocess owner;
            owner.start("xclip", {"-selection", "clipboard", "-i", words.fileName()});
            QTRY_COMPARE(clipboardData(dir.path()), mine);

            MirvoProcess app(home, environment(home));
            QVERIFY(app.waitFor("[Mirvo] coordinator up"));
            QTRY_VERIFY_WITH_TIMEOUT(windowNamed(checklistTitle).isValid(), 10000);
            QVERIFY(closeWindowNamed(checklistTitle));
            QTRY_COMPARE_WITH_TIMEOUT(trayIcons().size(), 1, 10000);
            QTest::qWait(1000);
            dictate(pulse);
            QVERIFY(app.waitFor("[Mirvo] pasted"));
            leave(app);
            QVERIFY2(app.exitsCleanly(5000), qPrintable(name));
            QVERIFY2(app.log().contains("[Mirvo] clipboard restored before quitting"),
                     qPrintable(name));
            QTRY_VERIFY2(managerSaid().contains("saved " + QString::fromUtf8(mine)),
                         qPrintable(managerSaid()));
            // Handed over while Mirvo still answered, and what the user had is still there.
            QVERIFY2(app.log().contains("[Mirvo] clipboard handed to the clipboard manager"),
                     qPrintable(name));
            QCOMPARE(clipboardData(dir.path()), mine);
        }
    }

    void aNewcomerGetsFromTheChecklistToAPastedDictation() {
        PulseAudioServer pulse;
        QVERIFY2(pulse.start(), qPrintable(pulse.error()));
        Subprocess tray;
        QVERIFY(startTray(tray));
        const QString home = newHome();
        using S = OnboardingStep;
        {
            MirvoProcess app(home, environment(home));
            QTRY_VERIFY_WITH_TIMEOUT(windowNamed(checklistTitle).isValid(), 10000);
            QVERIFY(app.waitFor("ax=granted fn=pending all=false"));

            // "I've done this": dictation can work, and the coordinator comes up.
            const OnboardingState four = granted(
                {S::speechRecognition, S::microphone, S::dictationEnabled, S::accessibility});
            const QPoint confirm = checklistButton(four, S::fnKeyRemap, "I've done this");
            clickAt(confirm.x(), confirm.y());
            QVERIFY(app.waitFor("[Mirvo/Onboarding] permissionsReady → starting coordinator"));
            QVERIFY(app.waitFor("[Mirvo] coordinator up"));

            // "Enable": launch at login.
            const OnboardingState five =
                granted({S::speechRecognition, S::microphone, S::dictationEnabled, S::accessibility,
                         S::fnKeyRemap});
            const QPoint enable = checklistButton(five, S::launchAtLogin, "Enable");
            clickAt(enable.x(), enable.y());
            QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(home + "/config/autostart/mirvo.desktop"), 5000);

            // The first dictation lands in the try-it box, and nothing is pasted.
            QTest::qWait(1000); // the speech model warms up
            dictate(pulse);
            QVERIFY(app.waitFor("[Mirvo/Onboarding] fnKeyDemo=true", 1, 20000));
            QVERIFY(!app.log().contains("[Mirvo] pasted"));
            QVERIFY(app.waitFor("all=true"));

            // "Start dictating"; then the words go where the user types, clipboard kept.
            OnboardingState all = five;
            all.launchAtLogin = all.fnKeyDemo = OnboardingStepStatus::granted;
            const QPoint start = checklistButton(all, S::fnKeyDemo, QString());
            clickAt(start.x(), start.y());
            QTRY_VERIFY_WITH_TIMEOUT(!windowNamed(checklistTitle).isValid(), 5000);
            Subprocess owner;
            QFile words(dir.filePath("clipboard.txt"));
            QVERIFY(words.open(QIODevice::WriteOnly));
            words.write("what the user had");
            words.close();
            owner.start("xclip", {"-selection", "clipboard", "-i", words.fileName()});
            TextField field(MIRVO_TEXT_FIELD_APP, home);
            QVERIFY(field.waitReady());
            dictate(pulse);
            QVERIFY(app.waitFor("[Mirvo] pasted"));
            QTRY_VERIFY_WITH_TIMEOUT(field.text().contains("quarterly report"), 5000);
            QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(clipboardData(dir.path())),
                                      QStringLiteral("what the user had"), 5000);
            pickFromTrayMenu(5); // Quit Mirvo
            QVERIFY(app.exitsCleanly(5000));
        }

        // A later launch: the checklist opens again; closed with its close button, dictation
        // pastes.
        TextField field(MIRVO_TEXT_FIELD_APP, home);
        QVERIFY(field.waitReady());
        MirvoProcess later(home, environment(home));
        QVERIFY(later.waitFor("seen=true, force=false)"));
        QVERIFY(later.waitFor("[Mirvo] coordinator up"));
        QTRY_VERIFY_WITH_TIMEOUT(windowNamed(checklistTitle).isValid(), 10000);
        QVERIFY(closeWindowNamed(checklistTitle));
        QTRY_VERIFY(!windowNamed(checklistTitle).isValid());
        QVERIFY(focusWindowNamed("Mirvo test field"));
        QTest::qWait(1000);
        dictate(pulse);
        QVERIFY(later.waitFor("[Mirvo] pasted"));
        QTRY_VERIFY_WITH_TIMEOUT(field.text().contains("quarterly report"), 5000);
    }
};

// The checklist needs a screen taller than it is.
MIRVO_X11_TEST_MAIN_ON(SessionTest, "1280x1024")
#include "SessionTest.moc"
