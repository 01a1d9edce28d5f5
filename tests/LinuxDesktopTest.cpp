#include "core/Transcriber.h"
#include "doubles/FakePlatform.h"
#include "gui/OnboardingWindow.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/desktop/SettingsUserDefaults.h"
#include "platform/linux/desktop/SystemLoginItem.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "platform/linux/speech/UserVocabulary.h"
#include "platform/linux/wayland/PortalGlobalShortcut.h"
#include "support/Await.h"
#include "support/LogCapture.h"
#include "support/SpokenText.h"
#include "support/Subprocess.h"
#include "support/Utilities.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <mutex>

namespace {

// `sentence` spoken by flite and dictated with `hints`; `midway`, when given, runs with half the
// audio in and must succeed. The final text, or what went wrong.
QString dictate(SpeechRecognizer& recognizer, const QString& sentence,
                const QStringList& hints = {}, const std::function<bool()>& midway = {},
                std::function<void(RecognitionStage)> stages = {}) {
    QTemporaryDir dir;
    const QString wav = dir.filePath("sentence.wav");
    if (!SpokenText::synthesize({sentence}, wav))
        return "(no speech)";
    auto request = std::make_shared<RecognitionRequest>();
    request->taskHint = RecognitionRequest::dictationTaskHint;
    request->contextualStrings = hints;
    request->stageHandler = std::move(stages);
    auto text = std::make_shared<std::optional<QString>>();
    auto mutex = std::make_shared<std::mutex>();
    auto task = recognizer.recognitionTask(request, [=](const std::optional<RecognitionResult>& r,
                                                        const std::optional<MirvoError>& e) {
        std::lock_guard lock(*mutex);
        if (e || (r && r->isFinal))
            *text = r ? r->formattedString : e->reason();
    });
    const auto speech = SpokenText::load(wav);
    for (size_t i = 0; i < speech.size(); ++i) {
        if (i == speech.size() / 2 && midway && !midway())
            return "(midway failed)";
        request->append(speech[i]);
    }
    request->endAudio();
    const auto done = [&] {
        std::lock_guard lock(*mutex);
        return text->has_value();
    };
    return QTest::qWaitFor(done, 10000) ? **text : "(no result)";
}

const QString portalPath = "/org/freedesktop/portal/desktop";

// The desktop portal's global shortcuts as GNOME 48 offers them: none until BindShortcuts, which
// may ask the user. Every request is answered on a path of the portal's own making, as older
// portals do.
class FakeShortcutsPortal final : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        calls.append(message.member());
        if (message.member() == "Get") {
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(1u))));
            return true;
        }
        const QString request = portalPath + "/request/fake/" + QString::number(calls.size());
        connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QVariantMap results;
        uint code = 0;
        if (message.member() == "CreateSession") {
            token = qdbus_cast<QVariantMap>(message.arguments().value(0))
                        .value("session_handle_token")
                        .toString();
            results["session_handle"] = session;
        } else if (message.member() == "BindShortcuts") {
            code = bindAnswer;
            PortalShortcuts shortcuts = qdbus_cast<PortalShortcuts>(message.arguments().value(1));
            for (PortalShortcut& shortcut : shortcuts)
                shortcut.properties = {{"trigger_description", "Ctrl+Alt+D"}};
            results["shortcuts"] = QVariant::fromValue(shortcuts);
        }
        QTimer::singleShot(1, [connection, request, code, results] {
            connection.send(
                QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response")
                << code << results);
        });
        return true;
    }
    QString introspect(const QString&) const override { return {}; }

    // What a press of the shortcut `id` of `inSession` sends.
    static QDBusMessage signal(const char* name, const QString& inSession, const QString& id) {
        return QDBusMessage::createSignal(portalPath, "org.freedesktop.portal.GlobalShortcuts",
                                          name)
               << QVariant::fromValue(QDBusObjectPath(inSession)) << id << qulonglong(0)
               << QVariantMap();
    }

    const QString session = portalPath + "/session/fake/mirvo";
    QStringList calls;
    QString token;
    uint bindAnswer = 0;
};

} // namespace

class LinuxDesktopTest : public QObject {
    Q_OBJECT

private slots:
    // What each desktop offers: how the key is held, whether a chord is typed, and what the
    // user is told is missing ("": nothing) and of the key; each text by how it starts.
    void eachDesktopSaysWhatItOffers_data() {
        QTest::addColumn<QString>("session"); // "x11", or XDG_CURRENT_DESKTOP on Wayland
        QTest::addColumn<bool>("helpers");    // wl-copy and the like on the PATH
        QTest::addColumn<int>("chord");
        QTest::addColumn<QString>("missing");
        QTest::addColumn<QString>("instructions");
        using C = DesktopCapabilities::PasteChord;
        const QString x11 = "Mirvo needs the X11 input extensions";
        const QString bindings = "Mirvo pastes the transcript into whichever app has focus";
        QTest::newRow("x11") << "x11" << true << int(C::xtest) << "" << x11;
        QTest::newRow("no display") << "" << true << int(C::xtest) << "Mirvo finds no X11" << x11;
        // A wlroots compositor that does not answer offers nothing.
        QTest::newRow("sway") << "sway" << true << int(C::virtualKeyboard)
                              << "The compositor does not offer the clipboard" << bindings;
        QTest::newRow("sway, no helpers") << "sway" << false << int(C::virtualKeyboard)
                                          << "Mirvo needs wl-copy, wl-paste, wtype" << bindings;
        // GNOME: the clipboard only, and the checklist says so.
        QTest::newRow("gnome") << "GNOME" << true << int(C::none) << ""
                               << "This desktop (GNOME on Wayland) lets no program paste";
    }
    void eachDesktopSaysWhatItOffers() {
        QFETCH(QString, session);
        QFETCH(bool, helpers);
        QFETCH(int, chord);
        QFETCH(QString, missing);
        QFETCH(QString, instructions);
        const bool x11 = session == "x11";
        ScopedVariable display("DISPLAY", x11 ? qgetenv("DISPLAY") : QByteArray());
        ScopedVariable wayland("WAYLAND_DISPLAY",
                               x11 || session.isEmpty() ? QByteArray() : "mirvo-no-compositor");
        ScopedVariable desktop("XDG_CURRENT_DESKTOP", session.toUtf8());
        ScopedVariable path("PATH", helpers ? qgetenv("PATH") : "/nonexistent");
        LinuxPlatform platform;
        const DesktopCapabilities& offered = platform.capabilities();
        QCOMPARE(offered.holdKey == DesktopCapabilities::HoldKey::watched,
                 x11 || session.isEmpty());
        QCOMPARE(int(offered.pasteChord), chord);
        QVERIFY2(missing.isEmpty() ? offered.keysReady() : offered.missing.startsWith(missing),
                 qPrintable(offered.missing));
        QVERIFY2(offered.keyInstructions.startsWith(instructions),
                 qPrintable(offered.keyInstructions));
    }

    // The portal's answers come as signals on request paths; presses name their session; the
    // checklist names the keys the desktop gave.
    void thePortalGivesTheHoldShortcut() {
        QTemporaryDir dir;
        const QString address = "unix:path=" + dir.filePath("bus");
        Subprocess daemon;
        QVERIFY(daemon.start("dbus-daemon", {"--session", "--nofork", "--address=" + address}));
        QTRY_VERIFY(QFile::exists(dir.filePath("bus")));
        QDBusConnection portalBus = QDBusConnection::connectToBus(address, "portal");
        FakeShortcutsPortal portal;
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<PortalShortcuts>();
        const auto unregister = qScopeGuard([&] { portalBus.unregisterObject(portalPath); });
        QVERIFY(portalBus.registerVirtualObject(portalPath, &portal) &&
                portalBus.registerService("org.freedesktop.portal.Desktop"));
        // Mirvo's own bus connection is made here, on first use.
        ScopedVariable bus("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
        ScopedVariable wayland("WAYLAND_DISPLAY", "mirvo-no-compositor");
        ScopedVariable gnome("XDG_CURRENT_DESKTOP", "GNOME");
        LinuxPlatform platform;

        const std::unique_ptr<GlobalShortcut> shortcut = platform.makeGlobalShortcut();
        QVERIFY(shortcut);
        QSignalSpy pressed(shortcut.get(), &GlobalShortcut::pressed);
        QSignalSpy released(shortcut.get(), &GlobalShortcut::released);
        shortcut->bind("Hold to dictate", "Control_R");
        QTRY_VERIFY(platform.capabilities().keyInstructions.endsWith(
            "Ctrl+V. Hold Ctrl+Alt+D (your desktop's shortcut \"Hold to dictate\"), speak, and "
            "release."));
        QCOMPARE(platform.holdKeyDisplayName("Control_R"), QStringLiteral("Ctrl+Alt+D"));
        QCOMPARE(portal.calls,
                 (QStringList{"Get", "CreateSession", "ListShortcuts", "BindShortcuts"}));
        QCOMPARE(portal.token, QStringLiteral("mirvo"));

        for (const auto& [name, session, id] :
             {std::tuple{"Activated", portal.session, "hold-to-dictate"},
              std::tuple{"Activated", portal.session, "hold-to-dictate"},
              std::tuple{"Activated", portal.session + "x", "hold-to-dictate"},
              std::tuple{"Deactivated", portal.session, "another"},
              std::tuple{"Deactivated", portal.session, "hold-to-dictate"}})
            portalBus.send(FakeShortcutsPortal::signal(name, session, id));
        QTRY_COMPARE(released.size(), 1);
        QCOMPARE(pressed.size(), 2);

        portal.bindAnswer = 1; // the user said no
        const std::unique_ptr<GlobalShortcut> refused = platform.makeGlobalShortcut();
        QSignalSpy failed(refused.get(), &GlobalShortcut::failed);
        refused->bind("Hold to dictate", "Control_R");
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toString(),
                 QStringLiteral("BindShortcuts: declined by the user"));
    }

    void microphoneNeedsAnAnsweringSoundServer() {
        QTemporaryDir dir;
        LogCapture logs;
        // No server at all: at once, said once however often asked.
        {
            ScopedVariable nothing("PULSE_SERVER", "unix:" + dir.filePath("none").toUtf8());
            LinuxPlatform platform;
            QElapsedTimer clock;
            clock.start();
            for (int i = 0; i < 3; ++i)
                QCOMPARE(await(platform.microphoneAvailable()).value, std::optional(false));
            QVERIFY(clock.elapsed() < 1000);
            QCOMPARE(logs.startingWith("[Mirvo/Audio] no microphone").size(), 1);
        }

        // A server that accepts and never answers: pending within the bound, and the main
        // thread keeps running meanwhile.
        QLocalServer silent;
        QVERIFY(silent.listen(dir.filePath("silent")));
        ScopedVariable mute("PULSE_SERVER", "unix:" + dir.filePath("silent").toUtf8());
        LinuxPlatform platform;
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(50);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(await(platform.microphoneAvailable(), 5000).value, std::optional(false));
        QVERIFY2(clock.elapsed() <= 2000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(ticks >= 10);
        QVERIFY(logs.contains("[Mirvo/Audio] no microphone: the PulseAudio server did not answer"));
    }

    void autostartEntryIsOursOrLeftAlone() {
        QTemporaryDir home;
        ScopedVariable config("XDG_CONFIG_HOME", home.path().toUtf8());
        const QString path = home.path() + "/autostart/mirvo.desktop";
        QCOMPARE(SystemLoginItem::entryPath(), path);

        // Quoting survives the characters a desktop entry treats specially.
        const QString odd = home.path() + "/My \"Apps\" $HOME `x` 100% \\ dir/mirvo";
        QCOMPARE(SystemLoginItem::programOf(SystemLoginItem::execValue(odd)), odd);
        QCOMPARE(SystemLoginItem::execValue("/usr/bin/mirvo"),
                 QStringLiteral("\"/usr/bin/mirvo\""));
        QCOMPARE(SystemLoginItem::programOf("/usr/bin/mirvo %u"), QStringLiteral("/usr/bin/mirvo"));
        QCOMPARE(SystemLoginItem::programOf("\"/a\\\\sb\""), QStringLiteral("/a\\sb"));
        QCOMPARE(SystemLoginItem::programOf("\"unterminated"), QString());

        SystemLoginItem item(odd);
        QVERIFY(!item.isEnabled());
        QVERIFY(item.setEnabled(false)); // nothing to remove
        QVERIFY(item.setEnabled(true));
        QVERIFY(item.isEnabled());
        QVERIFY(SystemLoginItem(odd).isEnabled());
        QVERIFY(!SystemLoginItem("/usr/bin/other").isEnabled());
        const QByteArray written = readFile(path);
        QVERIFY(written.startsWith("[Desktop Entry]\n"));
        QVERIFY(written.contains("\nExec=" + SystemLoginItem::execValue(odd).toUtf8() + "\n"));
        QVERIFY(item.setEnabled(true)); // already: unchanged
        QCOMPARE(readFile(path), written);
        QVERIFY(item.setEnabled(false));
        QVERIFY(!QFile::exists(path) && !item.isEnabled());

        QVERIFY(written.contains("\nX-Mirvo-Autostart=true\n"));

        // Our entry switched off by the desktop (either way), or written by a Mirvo installed
        // elsewhere: not enabled, left alone by disabling, and rewritten by enabling.
        const QByteArray ours = "[Desktop Entry]\nExec=" + SystemLoginItem::execValue(odd).toUtf8();
        for (const QByteArray& off :
             {ours + "\nHidden=true\n", ours + "\nX-GNOME-Autostart-enabled=false\n",
              QByteArray("[Desktop Entry]\nExec=/opt/old/mirvo\nX-Mirvo-Autostart=true\n")}) {
            QVERIFY(writeFile(path, off));
            QVERIFY2(!item.isEnabled(), off.constData());
            QVERIFY(item.setEnabled(false) && readFile(path) == off);
            QVERIFY2(item.setEnabled(true) && item.isEnabled(), off.constData());
            QCOMPARE(readFile(path), written);
        }

        // Somebody else's entry is never touched, and said once.
        const QByteArray foreign = "[Desktop Entry]\nType=Application\nExec=/opt/other/mirvo\n";
        QVERIFY(writeFile(path, foreign));
        LogCapture logs;
        SystemLoginItem mine(odd);
        QVERIFY(!mine.isEnabled() && !mine.isEnabled());
        QCOMPARE(logs.startingWith("[Mirvo] LoginItem: ").size(), 1);
        QVERIFY(!mine.setEnabled(true));
        QVERIFY(logs.contains("[Mirvo] LoginItem.setEnabled(true) failed: " + path +
                              " belongs to another program"));
        QVERIFY(mine.setEnabled(false));
        QCOMPARE(readFile(path), foreign);
    }

    // Until the model is there, no recognizer; once it is installed, the same provider has one
    // without a restart.
    void theSpeechModelCanArriveWhileMirvoRuns() {
        QTemporaryDir model;
        ScopedVariable variable("MIRVO_POCKETSPHINX_MODEL", QFile::encodeName(model.path()));
        const SpeechRecognizerProvider provider = PocketSphinxRecognizer::makeProvider();
        QVERIFY(!provider(QStringLiteral("en-US")));
        QVERIFY_THROWS_EXCEPTION(TranscriberError,
                                 SFTranscriber(QStringLiteral("en-US"), {}, provider).start());
        const QString installed = QStringLiteral("/usr/share/pocketsphinx/model/en-us");
        for (const char* part : {"en-us", "en-us.lm.bin", "cmudict-en-us.dict"})
            QVERIFY(QFile::link(installed + "/" + part, model.filePath(part)));
        QVERIFY(provider(QStringLiteral("en-US")));
        QVERIFY(!provider(QStringLiteral("de-DE")));
    }

    // A cancelled task stops within half a second, however much audio it still had to decode.
    void cancellingTheSpeechEngineStopsIt() {
        QTemporaryDir dir;
        const QString path = dir.filePath("sentence.wav");
        QVERIFY(SpokenText::synthesize({"please send the quarterly report to the team"}, path));
        auto pool =
            DecoderPool::make(PocketSphinxRecognizer::installedModelDirectory(),
                              PocketSphinxRecognizer::decoderArguments(defaultRecognitionProfile));
        pool->prepare(); // loaded before the clock starts
        pool->waitUntilSettled();
        PocketSphinxRecognizer recognizer(pool);
        auto request = std::make_shared<RecognitionRequest>();
        std::mutex mutex;
        std::optional<MirvoError> error;
        bool final = false;
        auto task =
            recognizer.recognitionTask(request, [&](const std::optional<RecognitionResult>& r,
                                                    const std::optional<MirvoError>& e) {
                std::lock_guard lock(mutex);
                final = final || (r && r->isFinal);
                if (e)
                    error = e;
            });
        const auto speech = SpokenText::load(path);
        for (int round = 0; round < 12; ++round) // about a minute of audio to chew on
            for (const auto& b : speech)
                request->append(b);
        QTest::qWait(200);
        QElapsedTimer clock;
        clock.start();
        task->cancel();
        const auto ended = [&] {
            std::lock_guard lock(mutex);
            return error.has_value();
        };
        QTRY_VERIFY_WITH_TIMEOUT(ended(), 2000);
        QVERIFY(clock.elapsed() < 500);
        QVERIFY(!final);
        QCOMPARE(error->reason(), QStringLiteral("Recognition request was canceled"));
        pool->waitUntilSettled(); // nothing may still load when the process ends
        QCOMPARE(pool->decoderCount(), 1);
    }

    // A dictation that comes before the first decoder is ready is told so, then decoded whole;
    // one that comes while the ready decoder learns new words is decoded by a spare meanwhile.
    void aDictationWaitsAtMostOneLoad() {
        const QString model = PocketSphinxRecognizer::installedModelDirectory();
        const QStringList arguments =
            PocketSphinxRecognizer::decoderArguments(defaultRecognitionProfile);
        {
            auto pool = DecoderPool::make(model, arguments);
            PocketSphinxRecognizer recognizer(pool);
            std::mutex mutex;
            QList<RecognitionStage> stages;
            const QString text =
                dictate(recognizer, "please send the report", {}, {}, [&](RecognitionStage stage) {
                    std::lock_guard lock(mutex);
                    stages.append(stage);
                });
            QCOMPARE(text, QStringLiteral("please send the report"));
            std::lock_guard lock(mutex);
            QCOMPARE(stages, (QList<RecognitionStage>{RecognitionStage::waitingForModel,
                                                      RecognitionStage::decoding}));
        }

        // A lesson held up until the dictation is done.
        std::mutex mutex;
        std::condition_variable changed;
        enum { open, armed, holding, released } gate = open;
        const TeachingSource teaching = [&] {
            std::unique_lock lock(mutex);
            if (gate == armed) {
                gate = holding;
                changed.notify_all();
                changed.wait_for(lock, std::chrono::seconds(20), [&] { return gate == released; });
            }
            return Teaching{};
        };
        // Joined when it goes, before the gate it learns through.
        auto pool = std::make_shared<DecoderPool>(model, arguments, 5.0, teaching);
        pool->prepare();
        pool->waitUntilSettled();
        PocketSphinxRecognizer recognizer(pool);
        {
            std::unique_lock lock(mutex);
            gate = armed;
        }
        pool->relearn();
        {
            std::unique_lock lock(mutex);
            QVERIFY(
                changed.wait_for(lock, std::chrono::seconds(5), [&] { return gate == holding; }));
        }
        const QString text = dictate(recognizer, "please send the report");
        const bool stillHeld = [&] {
            std::lock_guard lock(mutex);
            return gate == holding;
        }();
        {
            std::lock_guard lock(mutex);
            gate = released;
        }
        changed.notify_all();
        QCOMPARE(text, QStringLiteral("please send the report"));
        QVERIFY(stillHeld);
        QCOMPARE(pool->decoderCount(), 2);
        pool->waitUntilSettled();
    }

    // A reader that goes away ends the write to it, not Mirvo.
    void aReaderThatGoesAwayEndsOnlyItsWrite() {
        LinuxPlatform platform;
        int ends[2];
        QCOMPARE(::pipe(ends), 0);
        ::close(ends[0]);
        QCOMPARE(::write(ends[1], "x", 1), ssize_t(-1));
        QCOMPARE(errno, EPIPE);
        ::close(ends[1]);
    }

    // Letting go of the speech engine while a decoder loads does not wait for the load.
    void lettingGoOfTheSpeechEngineNeverWaits() {
        auto pool =
            DecoderPool::make(PocketSphinxRecognizer::installedModelDirectory(),
                              PocketSphinxRecognizer::decoderArguments(defaultRecognitionProfile));
        pool->prepare();
        QTRY_COMPARE(pool->decoderCount(), 1);
        QElapsedTimer clock;
        clock.start();
        pool.reset();
        QVERIFY2(clock.elapsed() < 100, qPrintable(QString::number(clock.elapsed())));

        // The last owner lets go in a task's handler, on one of the pool's own threads.
        auto owner = std::make_shared<std::shared_ptr<SpeechRecognizer>>(
            std::make_shared<PocketSphinxRecognizer>(DecoderPool::make(
                PocketSphinxRecognizer::installedModelDirectory(),
                PocketSphinxRecognizer::decoderArguments(defaultRecognitionProfile))));
        auto request = std::make_shared<RecognitionRequest>();
        std::atomic<bool> answered{false};
        const auto task = (*owner)->recognitionTask(
            request, [owner, &answered](const auto&, const std::optional<MirvoError>& error) {
                if (error) {
                    owner->reset();
                    answered = true;
                }
            });
        request->endAudio();
        QTRY_VERIFY(answered);
    }

    // The user's words are learned, also when the file changes during a dictation.
    void theUsersWordsAreLearned() {
        QTemporaryDir dir;
        const QString path = dir.filePath("vocabulary.txt");
        QVERIFY(writeFile(path, "Kotlin\n"));
        auto vocabulary = std::make_shared<VocabularyWatcher>(path);
        const auto recognizer = PocketSphinxRecognizer::makeProvider({}, vocabulary)("en-US");
        const QString kotlin = dictate(*recognizer, "the mobile app is written in kotlin", {}, [&] {
            return writeFile(path, "Kotlin\nAnsible\n") &&
                   QTest::qWaitFor([&] { return vocabulary->current()->phrases.size() == 2; });
        });
        QVERIFY2(kotlin.split(' ').contains("kotlin"), qPrintable(kotlin));
        const QString ansible = dictate(*recognizer, "we configure the machines with ansible");
        QVERIFY2(ansible.split(' ').contains("ansible"), qPrintable(ansible));
    }

    // A damaged file is kept aside, not overwritten, and reads as unset.
    void damagedDefaultsLoseNothing() {
        QTemporaryDir dir;
        const QString path = dir.filePath("defaults.conf");
        const QByteArray damaged = "[General\nai.mirvo.fnKeyConfirmed=true\n\xff\xfe";
        QVERIFY(writeFile(path, damaged));
        LogCapture logs;
        SettingsUserDefaults defaults(path);
        QCOMPARE(logs.lines(), QStringList{"[Mirvo] user defaults at " + path +
                                           " could not be read (kept a copy at " + path +
                                           ".damaged); settings that were in it read as unset"});
        QCOMPARE(readFile(path + ".damaged"), damaged);
        defaults.setValue("ai.mirvo.fnKeyDemoConfirmed", true);
        QVERIFY(defaults.boolForKey("ai.mirvo.fnKeyDemoConfirmed"));
    }

    void theHelpPageIsFound() {
        const QUrl help = LinuxPlatform().helpPageURL();
        QVERIFY2(QFile::exists(help.toLocalFile()), qPrintable(help.toString()));
        QVERIFY(readFile(help.toLocalFile()).contains("id=\"hold-key\""));
    }
};

QTEST_MAIN(LinuxDesktopTest)
#include "LinuxDesktopTest.moc"
