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
#include <QFile>
#include <QLayout>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

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
QPoint checklistButton(const OnboardingState& state, OnboardingStep step, const QString& label) {
    OnboardingViewModel model;
    model.setState(state);
    OnboardingView view(model, OnboardingTexts{},
                        {[](OnboardingStep) {}, [] {}, [] {}, [] {}, [] {}});
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
        QTRY_VERIFY_WITH_TIMEOUT(windowNamed(checklistTitle).isValid(), 5000);

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
