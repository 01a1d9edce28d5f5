// The application shell on the fake platform: how a launch decides between the checklist and
// dictation, what it assembles, the tray menu, update checks, forwarded launches and the
// single-instance socket.
#include "app/DictationAssembly.h"
#include "app/MirvoApp.h"
#include "core/MirvoConfig.h"
#include "doubles/FakePlatform.h"
#include "gui/OnboardingWindow.h"
#include "gui/UpdateWindow.h"
#include "platform/linux/desktop/LocalSocketInstance.h"
#include "support/Await.h"
#include "support/LogCapture.h"
#include "support/Subprocess.h"
#include "support/Utilities.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

#include <sys/stat.h>
#include <unistd.h>

namespace {

LaunchOptions optionsFrom(const QStringList& variables) {
    QProcessEnvironment environment;
    for (const QString& variable : variables)
        environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
    return LaunchOptions::fromEnvironment(environment);
}

QByteArray manifest(const char* version) {
    return QJsonDocument(QJsonObject{{"version", version},
                                     {"publishedAt", "2026-12-01"},
                                     {"minimumSystemVersion", "Debian 12"},
                                     {"sha256", "ab"},
                                     {"downloadUrl", "https://releases.example.org/mirvo.deb"}})
        .toJson();
}

// A configuration with the proxy on, polishing as asked, in `dir`'s Mirvo folder.
void writeConfig(const QString& dir, bool polish) {
    QDir(dir).mkpath("Mirvo");
    QFile file(dir + "/Mirvo/config.json");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray("{\"proxyBaseURL\": \"http://127.0.0.1:9\", \"proxyKey\": \"k\", "
                          "\"clientId\": \"c\", \"chatPath\": \"/chat\", \"polishModel\": "
                          "\"chat%1%2\", \"transcribeTargets\": [{\"path\": \"/t\", \"model\": "
                          "\"m\"}], \"enableCloudTranscription\": true, \"enablePolish\": ") +
               (polish ? "true}" : "false}"));
}

// A delegate on the fake platform, launched with `variables` set.
struct Shell {
    explicit Shell(const QStringList& variables = {}, bool seen = false,
                   ShellTiming timing = {0.05, 3600, 60}) {
        defaults->setValue("ai.mirvo.onboardingCompleted", seen);
        platform.recognizer->answersProbes = true;
        options = optionsFrom(variables);
        delegate = std::make_shared<MirvoAppDelegate>(platform, options, defaults, timing);
    }
    ~Shell() {
        // Refreshes still evaluating keep the checklist, which asks the platform: let them end.
        std::weak_ptr<OnboardingWindowController> checklist =
            delegate->onboarding() ? delegate->onboarding()->shared_from_this() : nullptr;
        if (delegate->onboarding())
            delegate->onboarding()->close();
        delegate.reset();
        awaitRelease(checklist);
    }
    void launch() { delegate->applicationDidFinishLaunching(); }
    QAction* item(const QString& title) const {
        for (QAction* a : delegate->menu()->actions())
            if (a->text() == title)
                return a;
        return nullptr;
    }
    // The alert on screen after `action`, if one comes within two seconds.
    static QMessageBox* alertAfter(const std::function<void()>& action) {
        action();
        QMessageBox* box = nullptr;
        (void)QTest::qWaitFor(
            [&] {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (auto* b = qobject_cast<QMessageBox*>(w); b && b->isVisible())
                        box = b;
                return box != nullptr;
            },
            2000);
        return box;
    }

    FakePlatform platform;
    std::shared_ptr<FakeUserDefaults> defaults = std::make_shared<FakeUserDefaults>();
    LaunchOptions options;
    std::shared_ptr<MirvoAppDelegate> delegate;
    LogCapture logs;
};

struct LaunchCase {
    QStringList variables = {};
    bool seen = false;
    // Platform answers.
    bool screen = true;
    bool keyObservable = true;
    bool pasteChord = true;
    bool trusted = true;
    // What must follow.
    bool checklist = false;
    QString coordinator = {}; // the line that says it is up; empty: none comes
    QString keySource = {};
    QStringList made = {};    // services the launch makes
    QStringList notMade = {}; // and does not
};

QList<DictationEntry> entriesNumbered(int count) {
    QList<DictationEntry> entries; // newest first
    const QDateTime start = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    for (int i = count; i > 0; --i)
        entries.append({QStringLiteral("dictation %1 \"<b>&x</b>\"\n").arg(i), start.addSecs(i),
                        i % 2 ? PasteOutcome::pasted : PasteOutcome::noTarget,
                        i % 3 ? QStringLiteral("kate") : QString()});
    return entries;
}

} // namespace

Q_DECLARE_METATYPE(LaunchCase)

class ShellTest : public QObject {
    Q_OBJECT

private slots:
    void launchesStartWhatIsDue_data() {
        QTest::addColumn<LaunchCase>("c");
        const QString up = "[Mirvo] coordinator up";
        const QString tap = "watchHoldKey Control_R";
        addRow("first launch", LaunchCase{.seen = false, .checklist = true});
        addRow("returning user", LaunchCase{.seen = true,
                                            .checklist = true,
                                            .coordinator = up,
                                            .keySource = "CGEventTapHotkeyMonitor",
                                            .made = {"makeKeyboardEvents", tap}});
        addRow("forced checklist", LaunchCase{.variables = {"MIRVO_FORCE_ONBOARDING=1"},
                                              .seen = true,
                                              .trusted = false,
                                              .checklist = true});
        addRow("test mode",
               LaunchCase{.variables = {"MIRVO_TEST_MODE=1"},
                          .seen = true,
                          .checklist = false,
                          .coordinator = "[Mirvo] coordinator up (test mode)",
                          .keySource = "SignalHotkeyMonitor",
                          .made = {"makeSignalSource", "makeAudioEngine", "makePasteboard"},
                          .notMade = {"makeHTTPSession", "makeKeyboardEvents", tap}});
        addRow("key bindings only", LaunchCase{.seen = true,
                                               .keyObservable = false,
                                               .checklist = true,
                                               .coordinator = up,
                                               .keySource = "CommandHotkeyMonitor",
                                               .notMade = {tap}});
        addRow("no paste chord", LaunchCase{.seen = true,
                                            .pasteChord = false,
                                            .checklist = true,
                                            .coordinator = up,
                                            .notMade = {"makeKeyboardEvents"}});
        addRow("no screen, newcomer",
               LaunchCase{.seen = false, .screen = false, .checklist = false, .coordinator = up});
        addRow("key access taken away",
               LaunchCase{.seen = true, .trusted = false, .checklist = true});
        addRow("no screen and no key access",
               LaunchCase{.seen = true, .screen = false, .trusted = false, .checklist = false});
    }

    void launchesStartWhatIsDue() {
        QFETCH(LaunchCase, c);
        QTemporaryDir home; // with a configuration, which test mode ignores
        writeConfig(home.path(), true);
        Shell s(c.variables, c.seen);
        s.platform.supportDirectory = home.path();
        DesktopCapabilities& desktop = s.platform.desktop;
        desktop.screen = c.screen;
        if (!c.keyObservable)
            desktop.holdKey = DesktopCapabilities::HoldKey::throughDesktop;
        if (!c.pasteChord)
            desktop.pasteChord = DesktopCapabilities::PasteChord::none;
        if (!c.trusted)
            desktop.missing = "No X11 display.";
        s.launch();
        const bool test = s.options.testMode;
        if (!c.coordinator.isEmpty())
            QTRY_VERIFY(s.logs.contains(c.coordinator));
        QTest::qWait(150);
        QCOMPARE(s.delegate->coordinator() != nullptr, !c.coordinator.isEmpty());
        QCOMPARE(s.delegate->onboarding() && s.delegate->onboarding()->isOnScreen(), c.checklist);
        if (!c.keySource.isEmpty())
            QVERIFY(s.logs.contains("[Mirvo] hotkey.start() OK (" + c.keySource + ")"));
        for (const QString& service : c.made)
            QVERIFY2(s.platform.log->calls().contains(service), qPrintable(service));
        for (const QString& service : c.notMade)
            QVERIFY2(!s.platform.log->calls().contains(service), qPrintable(service));
        // The first update check comes soon after a normal launch, never in test mode.
        if (test)
            QVERIFY(!s.platform.http && s.logs.startingWith("[Mirvo/Config]").isEmpty());
        else
            QTRY_VERIFY(s.platform.http && s.platform.http->requests.size() == 1);
        // Key access missing at a start clears the completed checklist; without a screen there
        // is nothing to finish it on, so the user is told once what is missing.
        if (!c.trusted && c.seen && !s.options.forceOnboarding) {
            QVERIFY(s.logs.contains(
                "[Mirvo] keys cannot be watched and posted — reshowing the setup checklist"));
            QVERIFY(!s.defaults->boolForKey("ai.mirvo.onboardingCompleted"));
            QCOMPARE(s.platform.userNotifications,
                     c.screen ? QStringList() : QStringList{"No X11 display."});
        }
        // Dictations where no paste chord can be sent are left on the clipboard, and the user
        // is told so; the recogniser's words are written (a capital) on their way.
        if (!c.pasteChord) {
            s.delegate->onboarding()->close(); // else the try-it box takes the text
            s.delegate->handleCommand(SingleInstance::holdCommand, {});
            QTRY_VERIFY(s.delegate->coordinator()->isRecording());
            s.delegate->handleCommand(SingleInstance::releaseCommand, {});
            QTRY_VERIFY(!s.delegate->coordinator()->isRecording());
            s.platform.recognizer->dictationTask()->deliver("left for you", {0.1}, true);
            QTRY_COMPARE(s.platform.userNotifications, QStringList{"Copied — press Ctrl+V"});
            QCOMPARE(s.platform.pasteboard->text(), QStringLiteral("Left for you"));
        }
    }

    void assemblyFollowsTheUserDefaultsAndTheConfiguration() {
        const QList<std::tuple<QString, QVariant, QString, bool>> profiles = {
            {"", {}, "fast", false},
            {"Accurate", true, "fast", true},
            {"accurate", false, "accurate without spoken punctuation", false},
        };
        for (const auto& [value, punctuation, profile, warned] : profiles) {
            FakePlatform platform;
            FakeUserDefaults defaults;
            defaults.setValue("ai.mirvo.recognitionProfile", value);
            if (punctuation.isValid())
                defaults.setValue("ai.mirvo.spokenPunctuation", punctuation);
            LogCapture logs;
            makeDictationCoordinator(platform, optionsFrom({"MIRVO_TEST_MODE=1"}), defaults);
            QVERIFY2(platform.log->calls().contains("speechRecognizers " + profile),
                     qPrintable(value));
            QCOMPARE(
                logs.contains("[Mirvo] unknown recognition profile \"" + value + "\" — using fast"),
                warned);
        }
        // A change applies to the next dictation, without a restart.
        {
            FakePlatform platform;
            FakeUserDefaults defaults;
            const auto coordinator =
                makeDictationCoordinator(platform, optionsFrom({"MIRVO_TEST_MODE=1"}), defaults);
            coordinator->start();
            defaults.setValue("ai.mirvo.recognitionProfile", "accurate");
            platform.signalSource->send(SignalSource::Signal::keyDown);
            QTRY_VERIFY(platform.log->calls().contains("speechRecognizers accurate"));
        }

        // The configured key; no configuration, or one with polishing off, makes no polisher.
        QTemporaryDir home;
        for (const int config : {0, 1, 2}) {
            if (config)
                writeConfig(home.path(), config == 2);
            FakePlatform platform;
            platform.supportDirectory = home.path();
            FakeUserDefaults defaults;
            defaults.setValue("ai.mirvo.hotkey", "Super_R");
            LogCapture logs;
            makeDictationCoordinator(platform, {}, defaults)->start();
            QVERIFY(platform.log->calls().contains("watchHoldKey Super_R"));
            QCOMPARE(platform.log->count("makeHTTPSession"), config ? 1 : 0);
            QCOMPARE(logs.contains("[Mirvo] polisher: LLM (chat%1%2)"), config == 2);
            QCOMPARE(logs.contains("[Mirvo/Config] no config at " + home.path() +
                                   "/Mirvo/config.json — running fully local"),
                     config == 0);
        }
    }

    void twoEarlyStartsBuildOneCoordinator() {
        Shell s;
        s.delegate->startCoordinator();
        s.delegate->startCoordinator();
        QTRY_VERIFY(s.logs.contains("[Mirvo] coordinator up"));
        QTest::qWait(50);
        QCOMPARE(s.logs.count("[Mirvo] coordinator up"), 1);
        QCOMPARE(s.logs.count("[Mirvo] startCoordinator() skipped (already running)"), 1);
        QCOMPARE(s.platform.log->count("makeAudioEngine"), 1);
    }

    void trayMenuActs() {
        Shell s({"MIRVO_TEST_MODE=1"});
        s.defaults->setValue("ai.mirvo.hotkey", "Alt_R");
        s.launch();
        QCOMPARE(s.platform.tray->toolTip, QStringLiteral("Mirvo — hold the Alt_R key to dictate"));

        // The check mark shows the real registration each time the menu opens.
        QAction* login = s.item("Launch at Login");
        s.platform.loginItem->enabled = true; // enabled elsewhere
        emit s.delegate->menu()->aboutToShow();
        QVERIFY(login->isChecked());
        login->trigger();
        QCOMPARE(s.platform.loginItem->setEnabledCalls, QList<bool>{false});
        emit s.delegate->menu()->aboutToShow();
        QVERIFY(!login->isChecked());

        const QString about = "About Mirvo " + UpdateChecker::currentAppVersion();
        const QString cannotOpen =
            "[Mirvo] nothing could open " + MirvoAppDelegate::websiteURLString();
        s.item(about)->trigger();
        QVERIFY(
            s.platform.log->calls().contains("openURL " + MirvoAppDelegate::websiteURLString()));
        QVERIFY(!s.logs.contains(cannotOpen));
        s.platform.opensURLs = false; // no browser
        s.item(about)->trigger();
        QVERIFY(s.logs.contains(cannotOpen));
    }

    // The tray names the keys the desktop's shortcut got, once the desktop has answered.
    void theTrayNamesTheShortcutsKeys() {
        Shell s({}, true);
        s.platform.desktop.holdKey = DesktopCapabilities::HoldKey::throughDesktop;
        s.platform.offersShortcut = true;
        s.launch();
        QTRY_VERIFY(s.platform.shortcut);
        QCOMPARE(s.platform.tray->toolTip,
                 QStringLiteral("Mirvo — hold the Control_R key to dictate"));
        s.platform.shortcutKeys = "Ctrl+Alt+H";
        emit s.platform.shortcut->bound("Ctrl+Alt+H");
        QCOMPARE(s.platform.tray->toolTip, QStringLiteral("Mirvo — hold Ctrl+Alt+H to dictate"));
    }

    // "Recent Dictations" lists the newest ten as typed, copies one when chosen, and clears;
    // "Paste Last Dictation" and `--paste-last` paste the newest through the coordinator.
    // The file behind "keep recent dictations": only the user can read it, a failed write leaves
    // what was there, a damaged file is moved aside rather than read in part, at most 100 kept.
    void theHistoryFileKeepsWhatItShould_data() {
        QTest::addColumn<int>("entries");
        QTest::addColumn<QByteArray>("before"); // what the file held; "dir": a folder in its place
        QTest::addColumn<int>("read");          // entries read back; -1: the write fails
        addRow("a few", 3, QByteArray(), 3);
        addRow("over the cap", 130, QByteArray(), 100);
        addRow("a damaged line", 0,
               QByteArray("{\"text\":\"ok\",\"time\":\"2027-01-15T08:00:00.000Z\",\"outcome\":"
                          "\"pasted\",\"application\":\"\"}\n{\"text\":"),
               0);
        addRow(
            "an unknown outcome", 0,
            QByteArray(
                "{\"text\":\"ok\",\"time\":\"2027-01-15T08:00:00.000Z\",\"outcome\":\"maybe\"}\n"),
            0);
        addRow("cannot be replaced", 3, QByteArray("dir"), -1);
    }

    void theHistoryFileKeepsWhatItShould() {
        QFETCH(int, entries);
        QFETCH(QByteArray, before);
        QFETCH(int, read);
        QTemporaryDir state;
        const DictationHistoryFile file(DictationHistoryFile::defaultPath(state.path()));
        QDir().mkpath(QFileInfo(file.path()).absolutePath());
        if (before == "dir")
            QDir().mkpath(file.path());
        else if (!before.isEmpty())
            QVERIFY(writeFile(file.path(), before));
        LogCapture logs;
        if (!before.isEmpty() && before != "dir") {
            QVERIFY(file.read().isEmpty());
            QCOMPARE(readFile(file.path() + ".damaged"), before);
            QCOMPARE(logs.startingWith("[Mirvo] recent dictations: ").size(), 1);
            QVERIFY(!logs.lines().join('\n').contains("ok"));
        }
        const QList<DictationEntry> written = entriesNumbered(entries);
        QCOMPARE(file.write(written), read >= 0);
        if (read < 0) {
            QVERIFY(QFileInfo(file.path()).isDir());
            QVERIFY(QDir(QFileInfo(file.path()).absolutePath()).entryList(QDir::Files).isEmpty());
            return;
        }
        QCOMPARE(file.read(), written.mid(0, read));
        QCOMPARE(QFileInfo(file.path()).permissions() & 0x0077, QFile::Permissions());
        QCOMPARE(QFile::permissions(QFileInfo(file.path()).absolutePath()) & 0x0077,
                 QFile::Permissions());
    }

    // In memory the last 20; kept on disk only when the user asked, and a clear empties both.
    void theHistoryKeepsTheLastDictations() {
        for (const bool keep : {false, true}) {
            QTemporaryDir state;
            const DictationHistoryFile file(DictationHistoryFile::defaultPath(state.path()));
            DictationHistory history(file, keep);
            const QList<DictationEntry> entries = entriesNumbered(25);
            for (auto it = entries.crbegin(); it != entries.crend(); ++it)
                history.add(*it);
            QCOMPARE(history.entries(), entries.mid(0, DictationHistory::capacity));
            QVERIFY(history.newest() == entries.front());
            QCOMPARE(QDir(state.path()).isEmpty(), !keep);
            QCOMPARE(DictationHistory(file, keep).entries().size(), keep ? 20 : 0);
            QVERIFY(QDir().mkpath(QFileInfo(file.path()).absolutePath()) &&
                    writeFile(file.path() + ".damaged", "{"));
            history.clear();
            QVERIFY(history.isEmpty() && !history.newest());
            QVERIFY(QDir(QFileInfo(file.path()).absolutePath()).entryList(QDir::Files).isEmpty());
            QVERIFY(DictationHistory(file, true).isEmpty());
        }
        // Switched off, a file kept from before goes at the next start.
        QTemporaryDir state;
        const DictationHistoryFile file(DictationHistoryFile::defaultPath(state.path()));
        DictationHistory(file, true).add(entriesNumbered(1).front());
        QVERIFY(QFileInfo::exists(file.path()));
        QVERIFY(DictationHistory(file, false).isEmpty());
        QVERIFY(!QFileInfo::exists(file.path()));
    }
    void recentDictationsInTheMenu() {
        Shell s({"MIRVO_TEST_MODE=1"});
        s.launch();
        const std::shared_ptr<FakePasteboard> pastedTo = s.platform.pasteboard;
        QMenu* menu = s.delegate->menu();
        QMenu* recent = s.item("Recent Dictations")->menu();
        emit menu->aboutToShow();
        QVERIFY(!s.item("Paste Last Dictation")->isEnabled());
        QCOMPARE(recent->actions().first()->text(), QStringLiteral("No Recent Dictations"));

        const QDateTime now = QDateTime::currentDateTime();
        for (int i = 0; i < 18; ++i)
            s.delegate->history().add(
                {QStringLiteral("older %1").arg(i), now, PasteOutcome::pasted, {}});
        s.delegate->history().add({"<b>x</b> &File\tten", now, PasteOutcome::pasted, {}});
        const QString longText = "a dictation long enough to be cut short in the menu, surely";
        s.delegate->history().add({longText, now, PasteOutcome::noTarget, {}});
        emit menu->aboutToShow();
        QVERIFY(s.item("Paste Last Dictation")->isEnabled());
        const QList<QAction*> items = recent->actions();
        QCOMPARE(items.size(), 10 + 2); // the entries, a separator, "Clear Recent Dictations"
        QCOMPARE(items[0]->text(), longText.left(40) + "… (not pasted)");
        QCOMPARE(items[1]->text().replace("&&", "&"), QStringLiteral("<b>x</b> &File ten"));
        QVERIFY(QKeySequence::mnemonic(items[1]->text()).isEmpty());
        QCOMPARE(items[9]->text(), QStringLiteral("older 10"));

        items[1]->trigger();
        QCOMPARE(s.platform.pasteboard->text(), QStringLiteral("<b>x</b> &File\tten"));
        QCOMPARE(s.platform.userNotifications.back(), QStringLiteral("Copied — press Ctrl+V"));
        s.delegate->handleCommand("paste-last", {});
        QCOMPARE(pastedTo->text(), longText);

        items.last()->trigger(); // Clear
        emit menu->aboutToShow();
        QVERIFY(s.delegate->history().isEmpty());
        QVERIFY(!s.item("Paste Last Dictation")->isEnabled());
        QVERIFY(s.logs.lines().filter("dictation long enough").isEmpty());
    }

    void updatesAreFoundShownOnceAndExplained() {
        Shell s({}, true);
        s.launch();
        QTRY_VERIFY(s.platform.http && s.platform.http->requests.size() == 1); // the first check
        auto http = s.platform.http;
        const auto checkAnswering = [&](int status, const QByteArray& body) {
            http->answer(status, body);
            s.delegate->runUpdateCheck(false); // as the daily timer does
        };
        const QString available = "Mirvo 99.0 is available · Download";
        checkAnswering(200, manifest("99.0"));
        QTRY_VERIFY(s.delegate->pendingUpdate());
        QVERIFY(s.item(available)->isVisible());
        s.item(available)->trigger();
        QVERIFY(s.platform.log->calls().contains("openURL https://releases.example.org/mirvo.deb"));

        // The window comes after a finished dictation, once per launch however it was closed.
        s.delegate->showUpdateWindowIfNeeded();
        UpdateWindowController* window = s.delegate->updateWindow();
        QVERIFY(window && window->window()->isVisible());
        window->window()->close(); // the close button: nobody is told
        s.delegate->showUpdateWindowIfNeeded();
        QCOMPARE(s.delegate->updateWindow(), window);
        QVERIFY(!window->window()->isVisible());

        // A failed daily check hides the item; the open window stays.
        http->fail(std::make_exception_ptr(MirvoError(MirvoError::Kind::unreachable, "offline")));
        s.delegate->runUpdateCheck(false);
        QTRY_VERIFY(!s.delegate->pendingUpdate());
        QVERIFY(!s.item(available) || !s.item(available)->isVisible());
        QCOMPARE(s.delegate->updateWindow(), window);

        // Manual checks: an update shows no alert; a failure and "up to date" say so.
        const QList<std::tuple<int, QByteArray, QString, QString>> manual = {
            {200, manifest("99.1"), QString(), QString()},
            {503, "busy", "Couldn't check for updates", "The update server answered 503."},
            {200, manifest("0.0.1"), "You're up to date",
             "Mirvo " + UpdateChecker::currentAppVersion() + " is the latest version."},
        };
        for (const auto& [status, body, text, informative] : manual) {
            http->answer(status, body);
            QMessageBox* box = Shell::alertAfter([&] { s.item("Check for Updates…")->trigger(); });
            QCOMPARE(box ? box->text() : QString(), text);
            if (box) {
                QCOMPARE(box->informativeText(), informative);
                box->button(QMessageBox::Ok)->click();
                QTRY_VERIFY(!box->isVisible());
            }
        }
        // Checks off: nothing is asked, and a manual check says up to date.
        s.defaults->setValue(UpdateChecker::suppressedKey, true);
        const qsizetype asked = http->requests.size();
        QMessageBox* off = Shell::alertAfter([&] { s.item("Check for Updates…")->trigger(); });
        QVERIFY(off && off->text() == QStringLiteral("You're up to date"));
        off->button(QMessageBox::Ok)->click();
        QCOMPARE(http->requests.size(), asked);

        // The window's own button downloads, and the window goes.
        window->window()->findChild<UpdateView*>()->downloadButton()->click();
        QVERIFY(!s.delegate->updateWindow());
        QCOMPARE(s.platform.log->count("openURL https://releases.example.org/mirvo.deb"), 2);
    }

    // Tests may point the check at a loopback server, and only there.
    void theManifestAddressOfTests() {
        QCOMPARE(Shell({"MIRVO_UPDATE_MANIFEST_URL=http://127.0.0.1:8123/latest.json"})
                     .delegate->manifestURL(),
                 QUrl("http://127.0.0.1:8123/latest.json"));
        Shell refused({"MIRVO_UPDATE_MANIFEST_URL=http://example.org:8123/latest.json"});
        QCOMPARE(refused.delegate->manifestURL(), UpdateChecker::defaultManifestURL());
        QVERIFY(refused.logs.contains("[Mirvo] MIRVO_UPDATE_MANIFEST_URL ignored: only "
                                      "http://127.0.0.1:PORT/… is accepted"));
    }

    void startFailuresAreNotifiedInFullButNotRepeated() {
        Shell s({"MIRVO_TEST_MODE=1"}, false, {5, 3600, 0.3});
        s.launch();
        const auto failStart = [&](std::exception_ptr error) {
            s.platform.engine->startError = error;
            s.platform.signalSource->send(SignalSource::Signal::keyDown);
            s.platform.signalSource->send(SignalSource::Signal::keyUp);
            QTest::qWait(10);
        };
        const auto noMicrophone =
            std::make_exception_ptr(MirvoError(MirvoError::Kind::noMicrophone, "no source"));
        failStart(noMicrophone);
        failStart(noMicrophone);
        QTRY_COMPARE(s.platform.tray->messages,
                     QStringList{"Mirvo: No microphone found. Check your sound settings."});
        failStart(std::make_exception_ptr(std::runtime_error("boom")));
        QCOMPARE(s.platform.tray->messages.last(),
                 QStringLiteral("Mirvo: Couldn't start dictation."));
        QTest::qWait(350);
        failStart(noMicrophone);
        QCOMPARE(s.platform.tray->messages.size(), 3); // a minute (here 0.3 s) later, again
    }

    // A launch's URLs are logged; a second launch brings the checklist back, but in test mode
    // it opens nothing: the checklist would take the dictations.
    void urlsAndForwardedLaunches() {
        Shell s({"MIRVO_TEST_MODE=1"});
        s.launch();
        s.delegate->handleCommand(SingleInstance::openCommand, {"mirvo://again", "%%not a url"});
        QCOMPARE(s.logs.startingWith("[Mirvo] handleURLEvent: "),
                 QStringList{"[Mirvo] handleURLEvent: mirvo://again"});
        QTest::qWait(50);
        QVERIFY(!s.delegate->onboarding());

        Shell normal({}, true);
        normal.launch();
        QTRY_VERIFY(normal.delegate->onboarding());
        normal.delegate->onboarding()->close();
        normal.delegate->handleCommand(SingleInstance::openCommand, {});
        QTRY_VERIFY(normal.delegate->onboarding()->isOnScreen()); // brought back
    }

    void oneInstancePerSession() {
        QTemporaryDir dir;
        const QString path = dir.filePath("mirvo-test.socket");
        LocalSocketInstance first(path);
        QCOMPARE(first.claim({}), SingleInstance::Role::primary);
        QVERIFY((QFile::permissions(path) & (QFile::ReadOther | QFile::WriteOther)) == 0);
        QSignalSpy received(&first, &SingleInstance::commandReceived);
        // A command this version does not know is refused.
        std::optional<SingleInstance::Delivery> delivery;
        std::thread binding([&] { delivery = LocalSocketInstance(path).deliver("shutdown"); });
        QTRY_VERIFY(delivery.has_value());
        binding.join();
        QCOMPARE(*delivery, SingleInstance::Delivery::refused);
        QVERIFY(received.isEmpty());

        // A regular file at the path is not ours to remove.
        const QString file = dir.filePath("file.socket");
        QVERIFY(writeFile(file, "x"));
        QCOMPARE(LocalSocketInstance(file).claim({}), SingleInstance::Role::alone);
        QVERIFY(QFile::exists(file));

        // One X display by any of its names is one session; another display is another.
        ScopedVariable wayland("WAYLAND_DISPLAY", "");
        const auto socketFor = [](const char* display) {
            ScopedVariable x("DISPLAY", display);
            return LocalSocketInstance::sessionSocketPath();
        };
        for (const char* same : {":0.0", "unix:0", "unix:0.1"})
            QCOMPARE(socketFor(same), socketFor(":0"));
        QVERIFY(socketFor(":1") != socketFor(":0"));
        QVERIFY(socketFor(":10") != socketFor(":1.0"));
    }

    // Who may talk to the running Mirvo, and for how long.
    void theInstanceSocketServesOnlyItsUser() {
        // A folder others can enter is no place for the socket: run alone, and say why.
        QTemporaryDir open;
        QVERIFY(QFile::setPermissions(open.path(), QFileDevice::Permissions(0x7755)));
        LogCapture logs;
        QCOMPARE(LocalSocketInstance(open.filePath("mirvo.socket")).claim({}),
                 SingleInstance::Role::alone);
        QVERIFY(logs.contains("[Mirvo] no single-instance channel (" + open.path() +
                              " has mode 0755, not 0700): running alone, and another launch will "
                              "start a second Mirvo"));

        QTemporaryDir dir;
        const QString path = dir.filePath("mirvo.socket");
        LocalSocketInstance primary(path, {10000, 300, 2});
        QCOMPARE(primary.claim({}), SingleInstance::Role::primary);
        QSignalSpy received(&primary, &SingleInstance::commandReceived);
        const auto connected = [&] {
            auto socket = std::make_unique<QLocalSocket>();
            socket->connectToServer(path);
            return socket->waitForConnected(1000) ? std::move(socket) : nullptr;
        };
        const auto closedByMirvo = [](QLocalSocket& socket, int ms) {
            return QTest::qWaitFor([&] { return socket.state() == QLocalSocket::UnconnectedState; },
                                   ms);
        };

        // Two may wait at once; a third is turned away at once, and those that say nothing are
        // let go after the read deadline.
        auto first = connected();
        auto second = connected();
        auto third = connected();
        QVERIFY(first && second && third);
        QVERIFY(closedByMirvo(*third, 200));
        QVERIFY(first->state() == QLocalSocket::ConnectedState);
        QVERIFY(closedByMirvo(*first, 1000) && closedByMirvo(*second, 1000));
        std::optional<SingleInstance::Delivery> delivery;
        std::thread later([&] { delivery = LocalSocketInstance(path).deliver("toggle"); });
        QTRY_COMPARE(received.size(), 1);
        later.join();
        QCOMPARE(delivery, std::optional(SingleInstance::Delivery::delivered));

        // A command whose caller had given up by the time Mirvo read it (its deadline passed
        // while Mirvo was busy) is refused, not run late.
        QLocalSocket late;
        late.connectToServer(path);
        QVERIFY(late.waitForConnected(1000));
        late.write(
            QJsonDocument(QJsonObject{{"version", 1},
                                      {"command", "hold"},
                                      {"until", double(QDeadlineTimer::current().deadline() - 1)}})
                .toJson(QJsonDocument::Compact) +
            '\n');
        QTRY_VERIFY(late.canReadLine());
        QVERIFY(late.readLine().contains("too late"));
        QVERIFY(logs.contains("[Mirvo] ignored the command \"hold\": it came after its caller had "
                              "given up"));
        QCOMPARE(received.size(), 1);

        // Another user's process is dropped unanswered, even where the file system lets it in.
        if (::getuid() != 0)
            QSKIP("needs root to act as another user");
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7711)));
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0777) == 0);
        // A connection reset counts as closed: Mirvo aborts it.
        const QString client = "import socket, sys\n"
                               "s = socket.socket(socket.AF_UNIX)\n"
                               "s.connect(sys.argv[1])\n"
                               "try:\n"
                               "    s.sendall(b'{\"version\":1,\"command\":\"hold\"}\\n')\n"
                               "    sys.exit(1 if s.recv(64) else 0)\n"
                               "except ConnectionError:\n"
                               "    sys.exit(0)\n";
        Subprocess otherUser;
        QVERIFY(otherUser.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                            "/usr/bin/python3", "-c", client, path}));
        QTRY_VERIFY(logs.contains("[Mirvo] dropped a connection from another user (uid 65534)"));
        QVERIFY(otherUser.waitForSuccess(5000)); // closed, unanswered
        QCOMPARE(received.size(), 1);
    }
};

QTEST_MAIN(ShellTest)
#include "ShellTest.moc"
