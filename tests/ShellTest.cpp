#include "doubles/FakePlatform.h"
#include "mirvo/MirvoApp.h"
#include "mirvo/OnboardingWindow.h"
#include "mirvo/UpdateWindow.h"
#include "platform/linux/LocalSocketInstance.h"
#include "support/Await.h"
#include "support/LogCapture.h"

#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

QByteArray manifest(const char* version) {
    return QJsonDocument(QJsonObject{{"version", version},
                                     {"publishedAt", "2026-12-01"},
                                     {"minimumSystemVersion", "Debian 12"},
                                     {"sha256", "ab"},
                                     {"downloadUrl", "https://releases.example.org/mirvo.deb"}})
        .toJson();
}

// Leaves a socket file at `path` that nobody listens on, as a crashed process does.
bool leaveStaleSocket(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), size_t(name.size()));
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

// A delegate on the fake platform, launched with `variables` set.
struct Shell {
    explicit Shell(const QStringList& variables = {}, bool seen = false,
                   ShellTiming timing = {0.05, 3600, 60}) {
        QProcessEnvironment environment;
        for (const QString& variable : variables)
            environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
        defaults->setValue("ai.mirvo.onboardingCompleted", seen);
        platform.recognizer->answersProbes = true;
        options = LaunchOptions::fromEnvironment(environment);
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
    QStringList menuTitles() const {
        QStringList titles;
        for (QAction* item : delegate->menu()->actions())
            titles.append(item->isSeparator() ? "—"
                          : item->isVisible() ? item->text()
                                              : "(hidden)");
        return titles;
    }
    QAction* item(const QString& title) const {
        for (QAction* a : delegate->menu()->actions())
            if (a->text() == title)
                return a;
        return nullptr;
    }
    // The alert on screen, if any.
    static QMessageBox* alert() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                return box;
        return nullptr;
    }

    FakePlatform platform;
    std::shared_ptr<FakeUserDefaults> defaults = std::make_shared<FakeUserDefaults>();
    LaunchOptions options;
    std::shared_ptr<MirvoAppDelegate> delegate;
    LogCapture logs;
};

} // namespace

class ShellTest : public QObject {
    Q_OBJECT

private slots:
    void launchShowsTheChecklistAndStartsWhatIsDue() {
        const QString launched = QStringLiteral("[Mirvo] launched (pid=%1, ").arg(getpid());
        {
            Shell first;
            first.launch();
            QVERIFY(first.logs.contains(launched + "test=false, seen=false, force=false)"));
            QTRY_VERIFY(first.delegate->onboarding() && first.delegate->onboarding()->isOnScreen());
            QTest::qWait(100);
            QVERIFY(!first.logs.contains("[Mirvo] startCoordinator() entered"));
            QVERIFY(!first.delegate->coordinator());
            QCOMPARE(first.platform.tray->shows, 1);
            QTRY_COMPARE(first.platform.http->requests.size(), 1); // the first update check
        }
        {
            Shell later({}, true);
            later.defaults->setValue("ai.mirvo.fnKeyConfirmed", true);
            later.launch();
            QTRY_VERIFY(later.logs.contains("[Mirvo] coordinator up"));
            const QStringList lines = later.logs.startingWith("[Mirvo] ");
            const qsizetype entered = lines.indexOf("[Mirvo] startCoordinator() entered");
            QCOMPARE(lines.mid(entered, 5),
                     (QStringList{"[Mirvo] startCoordinator() entered",
                                  "[Mirvo] checking permissions", "[Mirvo] speech auth status=3",
                                  "[Mirvo] AXIsProcessTrusted()=true", lines.value(entered + 4)}));
            QVERIFY(later.delegate->onboarding());
            // The checklist's own readiness report then only says it runs already.
            QTRY_VERIFY(
                later.logs.contains("[Mirvo] startCoordinator() skipped (already running)"));
        }
        {
            Shell forced({"MIRVO_FORCE_ONBOARDING=1"}, true);
            forced.platform.trusted = false; // the checklist cannot report readiness either
            forced.launch();
            QVERIFY(forced.logs.contains(launched + "test=false, seen=true, force=true)"));
            QTRY_VERIFY(forced.delegate->onboarding());
            QTest::qWait(100);
            QVERIFY(!forced.logs.contains("[Mirvo] startCoordinator() entered"));
        }
        {
            Shell test({"MIRVO_TEST_MODE=1"});
            test.launch();
            const QStringList lines = test.logs.lines();
            const qsizetype entered = lines.indexOf("[Mirvo] startCoordinator() entered");
            QVERIFY(entered > 0);
            QVERIFY(lines.mid(entered).contains("[Mirvo] coordinator up (test mode)"));
            QTest::qWait(150);
            QVERIFY(!test.delegate->onboarding());
            QVERIFY(!test.platform.http);
            QVERIFY(!test.logs.contains("[Mirvo] checking permissions"));
            QCOMPARE(test.platform.tray->shows, 1);
        }
    }

    void aStartWithoutTrustShowsTheChecklistAgain() {
        Shell s({}, true);
        s.platform.trusted = false;
        s.launch();
        QTRY_VERIFY(s.logs.contains("[Mirvo] AX not trusted — reshowing onboarding"));
        QVERIFY(s.logs.contains("[Mirvo] AXIsProcessTrusted()=false"));
        QVERIFY(!s.defaults->boolForKey("ai.mirvo.onboardingCompleted"));
        QVERIFY(!s.delegate->coordinator());
        QTRY_VERIFY(s.delegate->onboarding() && s.delegate->onboarding()->isOnScreen());
    }

    // Nothing can be granted without the checklist's window: one turn, one word, no loop.
    void withoutAScreenAStartThatCannotWorkStopsAtOnce() {
        for (const bool seen : {false, true}) {
            Shell s({}, seen);
            s.platform.screen = false;
            s.platform.trusted = false;
            s.launch();
            QTest::qWait(300);
            QVERIFY(s.logs.count("[Mirvo] startCoordinator() entered") <= 1);
            QCOMPARE(s.logs.count("[Mirvo] no screen to show the setup checklist on, and "
                                  "dictation cannot start: No X11 display."),
                     1);
            QCOMPARE(s.platform.userNotifications, QStringList{"No X11 display."});
            QVERIFY(!s.delegate->coordinator());
        }
    }

    void twoEarlyStartsBuildOneCoordinator() {
        Shell s({}, false);
        s.delegate->startCoordinator();
        s.delegate->startCoordinator();
        QCOMPARE(s.logs.count("[Mirvo] startCoordinator() entered"), 2);
        QTRY_VERIFY(s.logs.contains("[Mirvo] coordinator up"));
        QTest::qWait(50);
        QCOMPARE(s.logs.count("[Mirvo] coordinator up"), 1);
        QCOMPARE(s.logs.count("[Mirvo] startCoordinator() skipped (already running)"), 1);
        QCOMPARE(s.platform.log->count("makeEventTap Control_R mask=0x1000"), 1);
        QCOMPARE(s.platform.log->count("makeAudioEngine"), 1);
    }

    void trayMenuActs() {
        Shell s({"MIRVO_TEST_MODE=1"});
        s.defaults->setValue("ai.mirvo.hotkey", "Alt_R");
        s.launch();
        QCOMPARE(s.platform.tray->toolTip, QStringLiteral("Mirvo — hold Right Alt to dictate"));
        QVERIFY(!s.platform.tray->shownIcon.isNull());
        QCOMPARE(s.platform.tray->shownIcon.availableSizes().value(0), QSize(22, 22));
        QCOMPARE(s.menuTitles(), (QStringList{"About Mirvo " + UpdateChecker::currentAppVersion(),
                                              "(hidden)", "Check for Updates…", "Setup Checklist…",
                                              "—", "Launch at Login", "—", "Quit Mirvo"}));
        QCOMPARE(s.item("Quit Mirvo")->shortcut(), QKeySequence("Ctrl+Q"));

        // The check mark shows the real registration each time the menu opens.
        QAction* login = s.item("Launch at Login");
        s.platform.loginItem->enabled = true; // enabled elsewhere
        emit s.delegate->menu()->aboutToShow();
        QVERIFY(login->isChecked());
        login->trigger();
        QCOMPARE(s.platform.loginItem->setEnabledCalls, QList<bool>{false});
        emit s.delegate->menu()->aboutToShow();
        QVERIFY(!login->isChecked());

        s.item("Setup Checklist…")->trigger();
        QTRY_VERIFY(s.delegate->onboarding());
        OnboardingWindowController* checklist = s.delegate->onboarding();
        s.item("Setup Checklist…")->trigger();
        QTest::qWait(20);
        QCOMPARE(s.delegate->onboarding(), checklist); // brought forward, not a second one

        s.item("About Mirvo " + UpdateChecker::currentAppVersion())->trigger();
        QVERIFY(
            s.platform.log->calls().contains("openURL " + MirvoAppDelegate::websiteURLString()));
        QVERIFY(
            !s.logs.contains("[Mirvo] nothing could open " + MirvoAppDelegate::websiteURLString()));
        s.platform.opensURLs = false; // no browser
        s.item("About Mirvo " + UpdateChecker::currentAppVersion())->trigger();
        QVERIFY(
            s.logs.contains("[Mirvo] nothing could open " + MirvoAppDelegate::websiteURLString()));
    }

    void updatesAreFoundShownOnceAndExplained() {
        Shell s({}, true);
        s.launch();
        QTRY_VERIFY(s.platform.http && s.platform.http->requests.size() == 1); // the first check
        auto http = s.platform.http;
        http->answer(200, manifest("99.0"));
        s.delegate->runUpdateCheck(false); // as the daily timer does
        QTRY_VERIFY(s.delegate->pendingUpdate());
        QCOMPARE(s.menuTitles().value(1), QStringLiteral("Mirvo 99.0 is available · Download"));
        s.item("Mirvo 99.0 is available · Download")->trigger();
        QVERIFY(s.platform.log->calls().contains("openURL https://releases.example.org/mirvo.deb"));

        // The window comes after a finished dictation, once per launch whatever the answer.
        QVERIFY(!s.delegate->updateWindow());
        s.delegate->showUpdateWindowIfNeeded();
        UpdateWindowController* window = s.delegate->updateWindow();
        QVERIFY(window && window->window()->isVisible());
        window->window()->close(); // the close button: nobody is told
        QCOMPARE(s.delegate->updateWindow(), window);
        s.delegate->showUpdateWindowIfNeeded();
        QCOMPARE(s.delegate->updateWindow(), window);

        // The daily check fails: the menu item goes, the open window stays.
        http->fail(std::make_exception_ptr(
            PlatformError(QString::fromLatin1(PlatformErrors::urlDomain), -1009, "offline")));
        s.delegate->runUpdateCheck(false);
        QTRY_VERIFY(!s.delegate->pendingUpdate());
        QCOMPARE(s.menuTitles().value(1), QStringLiteral("(hidden)"));
        QCOMPARE(s.delegate->updateWindow(), window);

        // Manual checks: an update shows nothing; a failure says so; up to date says so.
        http->script.clear();
        const auto manual = [&](std::function<void()> script) -> QMessageBox* {
            script();
            s.item("Check for Updates…")->trigger();
            QMessageBox* box = nullptr;
            (void)QTest::qWaitFor([&] { return (box = Shell::alert()) != nullptr; }, 2000);
            return box;
        };
        QVERIFY(!manual([&] { http->answer(200, manifest("99.1")); }));
        QVERIFY(s.item("Mirvo 99.1 is available · Download"));
        QMessageBox* failed = manual([&] { http->answer(503, "busy"); });
        QVERIFY(failed);
        QCOMPARE(failed->text(), QStringLiteral("Couldn't check for updates"));
        QCOMPARE(failed->informativeText(), QStringLiteral("The update server answered 503."));
        failed->button(QMessageBox::Ok)->click();
        QTRY_VERIFY(!Shell::alert());
        QMessageBox* current = manual([&] { http->answer(200, manifest("0.0.1")); });
        QVERIFY(current);
        QCOMPARE(current->text(), QStringLiteral("You're up to date"));
        QCOMPARE(current->informativeText(),
                 "Mirvo " + UpdateChecker::currentAppVersion() + " is the latest version.");
        current->button(QMessageBox::Ok)->click();

        // Checks off: nothing is asked, and a manual check says up to date.
        s.defaults->setValue(UpdateChecker::suppressedKey, true);
        const qsizetype asked = http->requests.size();
        QMessageBox* off = manual([] {});
        QVERIFY(off && off->text() == QStringLiteral("You're up to date"));
        off->button(QMessageBox::Ok)->click();
        QCOMPARE(http->requests.size(), asked);
    }

    void updateWindowAnswersReachTheDelegate() {
        for (const char* answer : {"Download", "Later"}) {
            Shell s({}, true);
            s.launch();
            QTRY_VERIFY(s.platform.http && s.platform.http->requests.size() == 1);
            s.platform.http->answer(200, manifest("99.0"));
            s.delegate->runUpdateCheck(false);
            QTRY_VERIFY(s.delegate->pendingUpdate());
            s.delegate->showUpdateWindowIfNeeded();
            auto* view = s.delegate->updateWindow()->window()->findChild<UpdateView*>();
            (QByteArray(answer) == "Download" ? view->downloadButton() : view->laterButton())
                ->click();
            QVERIFY2(!s.delegate->updateWindow(), answer);
            QCOMPARE(s.platform.log->count("openURL https://releases.example.org/mirvo.deb"),
                     QByteArray(answer) == "Download" ? 1 : 0);
            s.delegate->showUpdateWindowIfNeeded(); // once per launch
            QVERIFY2(!s.delegate->updateWindow(), answer);
        }

        // Tests may point the check at a loopback server, and only there.
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
        const auto failStart = [&] {
            s.platform.signalSource->send(SignalSource::Signal::keyDown);
            s.platform.signalSource->send(SignalSource::Signal::keyUp);
            QTest::qWait(10);
        };
        s.platform.engine->startError =
            std::make_exception_ptr(PlatformError(PlatformErrors::noInputDevice, "no source"));
        failStart();
        failStart();
        QTRY_COMPARE(s.platform.tray->messages,
                     QStringList{"Mirvo: No microphone found. Check your sound settings."});
        s.platform.engine->startError = std::make_exception_ptr(std::runtime_error("boom"));
        failStart();
        QCOMPARE(s.platform.tray->messages.size(), 2);
        QCOMPARE(s.platform.tray->messages.last(),
                 QStringLiteral("Mirvo: Couldn't start dictation."));
        QTest::qWait(350);
        failStart();
        QCOMPARE(s.platform.tray->messages.size(), 3); // a minute (here 0.3 s) later, again
    }

    void urlsAndForwardedLaunches() {
        Shell s({"MIRVO_TEST_MODE=1"});
        s.options.arguments = QStringList{"mirvo://open?from=launch", "%%not a url", ""};
        s.delegate = std::make_shared<MirvoAppDelegate>(s.platform, s.options, s.defaults);
        s.launch();
        QCOMPARE(s.logs.startingWith("[Mirvo] handleURLEvent: "),
                 QStringList{"[Mirvo] handleURLEvent: mirvo://open?from=launch"});
        s.delegate->handleCommand(SingleInstance::openCommand, {"mirvo://again"});
        QVERIFY(s.logs.contains("[Mirvo] handleURLEvent: mirvo://again"));
        s.delegate->handleCommand("shutdown", {"mirvo://ignored"});
        QVERIFY(!s.logs.contains("[Mirvo] handleURLEvent: mirvo://ignored"));
        // In test mode a second launch opens nothing: the checklist would take the dictations.
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
        LogCapture logs;
        LocalSocketInstance first(path);
        QCOMPARE(first.claim({}), SingleInstance::Role::primary);
        QVERIFY((QFile::permissions(path) & (QFile::ReadOther | QFile::WriteOther)) == 0);
        QSignalSpy received(&first, &SingleInstance::commandReceived);

        // A second launch hands its arguments over; the first answers from its event loop.
        std::optional<SingleInstance::Role> role;
        std::thread second([&] { role = LocalSocketInstance(path).claim({"mirvo://x", "-y"}); });
        QTRY_COMPARE(received.size(), 1);
        second.join();
        QCOMPARE(role, std::optional(SingleInstance::Role::forwarded));
        QCOMPARE(received[0][0].toString(), SingleInstance::openCommand);
        QCOMPARE(received[0][1].toStringList(), (QStringList{"mirvo://x", "-y"}));

        // Key-binding commands reach it the same way and never start anything; one nobody
        // listens for, or one this version does not know, is not delivered.
        for (const QString& command :
             {SingleInstance::holdCommand, SingleInstance::toggleCommand}) {
            std::optional<SingleInstance::Delivery> delivery;
            std::thread binding([&] { delivery = LocalSocketInstance(path).deliver(command); });
            QTRY_COMPARE(received.size(), command == SingleInstance::holdCommand ? 2 : 3);
            binding.join();
            QCOMPARE(delivery, std::optional(SingleInstance::Delivery::delivered));
            QCOMPARE(received.last()[0].toString(), command);
        }
        std::optional<SingleInstance::Delivery> refused;
        std::thread unknown([&] { refused = LocalSocketInstance(path).deliver("shutdown"); });
        QTRY_VERIFY(refused.has_value());
        unknown.join();
        QCOMPARE(refused, std::optional(SingleInstance::Delivery::refused));
        QCOMPARE(LocalSocketInstance(dir.filePath("nobody.socket")).deliver("hold"),
                 SingleInstance::Delivery::noInstance);
        QVERIFY(!QFile::exists(dir.filePath("nobody.socket")));

        // A socket nobody answers on (a crashed Mirvo's) is replaced.
        const QString stale = dir.filePath("stale.socket");
        QVERIFY(leaveStaleSocket(stale));
        LocalSocketInstance revived(stale);
        QCOMPARE(revived.claim({}), SingleInstance::Role::primary);
        QVERIFY(logs.contains("[Mirvo] replaced a stale instance socket at " + stale));

        // A regular file at the path is not ours to remove.
        const QString file = dir.filePath("file.socket");
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("x") == 1);
        f.close();
        QCOMPARE(LocalSocketInstance(file).claim({}), SingleInstance::Role::alone);
        QVERIFY(QFile::exists(file));
        QVERIFY(logs.contains("[Mirvo] " + file +
                              " is not a socket; leaving it alone — later launches cannot reach "
                              "this Mirvo"));
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
        QVERIFY(!QFile::exists(open.filePath("mirvo.socket")));

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

        // Another user's process is dropped, even where the file system would let it in.
        if (::getuid() != 0)
            QSKIP("needs root to act as another user");
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7711)));
        QVERIFY(::chmod(QFile::encodeName(path).constData(), 0777) == 0);
        // Nothing in the child but system calls: another thread may hold a lock at the fork.
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, QFile::encodeName(path).constData(),
                     sizeof address.sun_path - 1);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setuid(65534) != 0)
                ::_exit(3);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                ::_exit(4);
            const char line[] = "{\"version\":1,\"command\":\"hold\",\"arguments\":[]}\n";
            (void)!::write(fd, line, sizeof line - 1);
            char answer[64];
            ::_exit(::read(fd, answer, sizeof answer) <= 0 ? 0 : 5); // closed, unanswered
        }
        QTRY_VERIFY(logs.contains("[Mirvo] dropped a connection from another user (uid 65534)"));
        int status = -1;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(received.size(), 1);
    }
};

QTEST_MAIN(ShellTest)
#include "ShellTest.moc"
