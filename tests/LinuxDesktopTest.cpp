// The Linux desktop under Mirvo, on a private X server: what each desktop offers, the X11
// keys, clipboard and chord, the microphone, autostart, the speech engine and the user's words.
#include "core/Paster.h"
#include "core/Transcriber.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/desktop/MprisMediaPlayers.h"
#include "platform/linux/desktop/SettingsUserDefaults.h"
#include "platform/linux/desktop/SystemLoginItem.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "platform/linux/speech/UserVocabulary.h"
#include "platform/linux/wayland/PortalGlobalShortcut.h"
#include "platform/linux/x11/QtClipboardPasteboard.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11/XInput2KeyWatcher.h"
#include "platform/linux/x11/XTestKeyboardEvents.h"
#include "support/Await.h"
#include "support/BusFakes.h"
#include "support/LogCapture.h"
#include "support/SpokenText.h"
#include "support/Subprocess.h"
#include "support/TestDesktop.h"
#include "support/Utilities.h"

#include <QApplication>
#include <QClipboard>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <mutex>

namespace {

// `sentence` spoken by flite and dictated; `midway`, when given, runs with half the audio in and
// must succeed. The final text, or what went wrong.
QString dictate(SpeechRecognizer& recognizer, const QString& sentence,
                const std::function<bool()>& midway = {}) {
    QTemporaryDir dir;
    const QString wav = dir.filePath("sentence.wav");
    if (!SpokenText::synthesize({sentence}, wav))
        return "(no speech)";
    auto request = std::make_shared<RecognitionRequest>();
    request->taskHint = RecognitionRequest::dictationTaskHint;
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

// A decoder pool on the installed model, as dictation makes it.
std::shared_ptr<DecoderPool> decoderPool() {
    return DecoderPool::make(PocketSphinxRecognizer::installedModelDirectory(),
                             PocketSphinxRecognizer::decoderArguments(defaultRecognitionProfile));
}

} // namespace

class LinuxDesktopTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::shared_ptr<X11Connection> x11 = std::make_shared<X11Connection>();

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
        addRow("x11", "x11", true, int(C::xtest), "", x11);
        addRow("no display", "", true, int(C::xtest), "Mirvo finds no X11", x11);
        // A wlroots compositor that does not answer offers nothing.
        addRow("sway", "sway", true, int(C::virtualKeyboard),
               "The compositor does not offer the clipboard", bindings);
        addRow("sway, no helpers", "sway", false, int(C::virtualKeyboard),
               "Mirvo needs wl-copy, wl-paste, wtype", bindings);
        // GNOME: the paste once the user allows it, which the checklist asks for; KDE without
        // fake input: the clipboard only, and the checklist says so.
        addRow("gnome", "GNOME", true, int(C::remoteDesktop),
               "GNOME lets Mirvo paste only with your leave",
               "Mirvo pastes the transcript into whichever app has focus with GNOME's leave");
        addRow("kde without fake input", "KDE", true, int(C::none), "",
               "This desktop (KDE on Wayland) lets no program paste");
    }
    void eachDesktopSaysWhatItOffers() {
        QFETCH(QString, session);
        QFETCH(bool, helpers);
        QFETCH(int, chord);
        QFETCH(QString, missing);
        QFETCH(QString, instructions);
        const bool x11 = session == "x11";
        portalBus();
        ScopedVariable state("XDG_STATE_HOME", dir.path().toUtf8());
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

    // Mirvo registers its app id before any other call to the portal; presses count from its
    // own session only; a refusal is said.
    void thePortalGivesTheHoldShortcut() {
        PortalBus& bus = portalBus();
        FakePortal& portal = bus.portal;
        portal.takeCalls();
        ScopedVariable wayland("WAYLAND_DISPLAY", "mirvo-no-compositor");
        LinuxPlatform platform;
        const std::unique_ptr<GlobalShortcut> shortcut = platform.makeGlobalShortcut();
        QSignalSpy pressed(shortcut.get(), &GlobalShortcut::pressed);
        shortcut->bind("Hold to dictate", "Control_R");
        QTRY_COMPARE(platform.holdKeyDisplayName("Control_R"), QStringLiteral("Ctrl+Alt+D"));
        QCOMPARE(portal.takeCalls(), (QStringList{"Register ai.mirvo.Mirvo", "Get", "CreateSession",
                                                  "ListShortcuts", "BindShortcuts"}));
        for (const QString& from : {portal.session + "x", portal.session})
            bus.connection.send(QDBusMessage::createSignal(portalPath,
                                                           "org.freedesktop.portal.GlobalShortcuts",
                                                           "Activated")
                                << QVariant::fromValue(QDBusObjectPath(from)) << "hold-to-dictate"
                                << qulonglong(0) << QVariantMap());
        QTRY_COMPARE(pressed.size(), 1);

        portal.bindAnswer = 1;
        const std::unique_ptr<GlobalShortcut> refused = platform.makeGlobalShortcut();
        QSignalSpy failed(refused.get(), &GlobalShortcut::failed);
        refused->bind("Hold to dictate", "Control_R");
        QTRY_COMPARE(failed.value(0).value(0).toString(),
                     QStringLiteral("BindShortcuts: declined by the user"));
        portal.bindAnswer = 0;
    }

    // On GNOME the paste waits for the user's leave, asked by the checklist; the leave is
    // remembered by a token that each start replaces, and forgotten when the user says no (to a
    // remembered one too: the portal asks again when it was revoked).
    void gnomePastesWithTheUsersLeave_data() {
        QTest::addColumn<uint>("version");   // of the portal's interface: 2 remembers
        QTest::addColumn<QString>("stored"); // the token kept from before; "-": none
        QTest::addColumn<uint>("answer");    // to Start: 0 allowed, 1 declined
        QTest::addColumn<QString>("kept");   // the token kept after; "-": none
        addRow("first leave", 2u, "-", 0u, "token5");
        addRow("remembered", 2u, "token9", 0u, "token5");
        addRow("refused", 2u, "-", 1u, "-");
        addRow("revoked", 2u, "token9", 1u, "-");
        addRow("portal without persistence", 1u, "-", 0u, "");
    }
    void gnomePastesWithTheUsersLeave() {
        QFETCH(uint, version);
        QFETCH(QString, stored);
        QFETCH(uint, answer);
        QFETCH(QString, kept);
        FakePortal& portal = portalBus().portal;
        portal.takeCalls();
        portal.remoteDesktopVersion = version;
        portal.startAnswer = answer;
        QTemporaryDir state;
        const QString tokenPath = state.filePath("mirvo/remote-desktop-token");
        ScopedVariable home("XDG_STATE_HOME", state.path().toUtf8());
        ScopedVariable wayland("WAYLAND_DISPLAY", "mirvo-no-compositor");
        ScopedVariable desktop("XDG_CURRENT_DESKTOP", "GNOME");
        if (stored != "-")
            QVERIFY(QDir().mkpath(state.filePath("mirvo")) &&
                    writeFile(tokenPath, stored.toUtf8()));
        LinuxPlatform platform;
        QCOMPARE(platform.capabilities().pasteChord,
                 DesktopCapabilities::PasteChord::remoteDesktop);
        QCOMPARE(platform.capabilities().keysReady(), stored != "-");
        LogCapture logs;
        QCOMPARE(await(platform.allowKeys(), 5000).value, std::optional(answer == 0));
        QCOMPARE(portal.takeCalls(), (QStringList{"Get", "CreateSession", "SelectDevices",
                                                  "RequestClipboard", "Start"}));
        QVariantMap devices{{"types", 1u}, {"handle_token", "mirvo_paste2"}};
        if (version >= 2)
            devices["persist_mode"] = 2u;
        if (version >= 2 && stored != "-")
            devices["restore_token"] = stored;
        QCOMPARE(portal.devices, devices);
        QCOMPARE(QFile::exists(tokenPath), kept != "-");
        if (kept != "-") {
            QCOMPARE(QString::fromUtf8(readFile(tokenPath)), kept);
            QCOMPARE(QFile::permissions(tokenPath) & 0x0077, QFile::Permissions());
            return;
        }
        QCOMPARE(logs.startingWith("[Mirvo] paste: the desktop does not allow").size(), 1);
        QVERIFY2(platform.capabilities().missing.startsWith(
                     "GNOME did not let Mirvo paste (declined by the user). To allow it again"),
                 qPrintable(platform.capabilities().missing));
    }

    // Once allowed, the chord goes as keysyms, and the clipboard through the same session: the
    // text Mirvo offers is written for each transfer and counted, the user's is read back.
    void gnomePastesThroughTheSession() {
        PortalBus& bus = portalBus();
        FakePortal& portal = bus.portal;
        portal.remoteDesktopVersion = 2;
        portal.startAnswer = 0;
        QTemporaryDir state;
        ScopedVariable home("XDG_STATE_HOME", state.path().toUtf8());
        ScopedVariable wayland("WAYLAND_DISPLAY", "mirvo-no-compositor");
        ScopedVariable desktop("XDG_CURRENT_DESKTOP", "GNOME");
        LinuxPlatform platform;
        const std::shared_ptr<KeyboardEvents> keyboard = platform.makeKeyboardEvents();
        const std::shared_ptr<Pasteboard> clipboard = platform.makePasteboard();
        keyboard->prepare(); // nothing allowed yet: nothing asked
        QVERIFY(!keyboard->canPostPasteChord());
        QVERIFY(await(platform.allowKeys(), 5000).value.value_or(false));
        QVERIFY(keyboard->canPostPasteChord());

        bus.emitSignal(
            "org.freedesktop.portal.Clipboard", "SelectionOwnerChanged",
            {QVariantMap{{"mime_types", QStringList{"text/plain"}}, {"session_is_owner", false}}});
        QTRY_VERIFY(clipboard->pasteboardItems().has_value());
        QCOMPARE(PasteboardPaster::snapshot(*clipboard).items,
                 (std::vector<PasteboardItemData>{{{"text/plain", "user's words"}}}));

        QVERIFY(clipboard->setString("dictated"));
        QVERIFY(portal.offered.contains("text/plain;charset=utf-8"));
        bus.emitSignal("org.freedesktop.portal.Clipboard", "SelectionTransfer",
                       {"text/plain;charset=utf-8", 7u});
        QTRY_COMPARE(clipboard->fetchCount(), quint64(1));
        QTRY_COMPARE(portal.written, QList<bool>{true});
        QFile fetched;
        QVERIFY(fetched.open(portal.pipeEnd, QIODevice::ReadOnly, QFile::AutoCloseHandle));
        QCOMPARE(fetched.readAll(), QByteArray("dictated"));

        keyboard->postPasteChord();
        const QList<std::pair<int, int>> chord = {{0xffe3, 1}, {0x76, 1}, {0x76, 0}, {0xffe3, 0}};
        QTRY_COMPARE(portal.keys, chord);
    }

    // While the user dictates, the players that play are paused, and only they resume; one that
    // fails or quits meanwhile delays nothing.
    void playingMediaPausesWhileDictating() {
        portalBus();
        FakeMediaPlayer playing("playing", "Playing"), paused("paused", "Paused"),
            failing("failing", ""), quitting("quitting", "Playing");
        MprisMediaPlayers media(QDBusConnection::sessionBus());
        media.pausePlaying();
        QTRY_COMPARE(quitting.calls(), QStringList{"Pause"});
        QTRY_COMPARE(playing.calls(), QStringList{"Pause"});
        quitting.vanish();
        LogCapture logs;
        media.resumePaused();
        QTRY_COMPARE(playing.calls(), (QStringList{"Pause", "Play"}));
        QCOMPARE(logs.startingWith("[Mirvo] resumed ").size(), 2);
        QCOMPARE(paused.calls(), QStringList());
        QCOMPARE(failing.calls(), QStringList());
        media.resumePaused(); // nothing paused: nothing played
        QTest::qWait(50);
        QCOMPARE(playing.calls().size(), 2);
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
        const QString path = home.path() + "/autostart/ai.mirvo.Mirvo.desktop";
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

        // The entry an earlier Mirvo wrote under its old name becomes the entry.
        const QString earlier = SystemLoginItem::earlierEntryPath();
        QVERIFY(QFile::remove(path) && writeFile(earlier, written));
        QVERIFY(SystemLoginItem(odd).isEnabled() && !QFile::exists(earlier));

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
        auto pool = decoderPool();
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
        auto pool = decoderPool();
        pool->prepare();
        QTRY_COMPARE(pool->decoderCount(), 1);
        QElapsedTimer clock;
        clock.start();
        pool.reset();
        QVERIFY2(clock.elapsed() < 100, qPrintable(QString::number(clock.elapsed())));

        // The last owner lets go in a task's handler, on one of the pool's own threads.
        auto owner = std::make_shared<std::shared_ptr<SpeechRecognizer>>(
            std::make_shared<PocketSphinxRecognizer>(decoderPool()));
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
        const QString kotlin = dictate(*recognizer, "the mobile app is written in kotlin", [&] {
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

    // Asking about a window that has gone is an X error; trapped, the process lives on.
    void vanishedWindowsAreSurvived() {
        Display* display = x11->display();
        {
            X11ErrorTrap trap(display);
            XClassHint hint = {nullptr, nullptr};
            XGetClassHint(display, Window(0x3fffff7), &hint);
            QVERIFY(trap.caughtError());
        }
        X11ErrorTrap clean(display);
        XSync(display, False);
        QVERIFY(!clean.caughtError());
    }

    // The dictation is marked for clipboard managers while it is there, and a modifier still
    // held does not turn the chord into another shortcut. (What the user had copied coming
    // back is DictationTest's.)
    void pastesPastAHeldModifierAndHidesFromManagers() {
        TestDesktop desktop;
        const ClipboardContents mine = {{"text/plain", "the user's own words"}};
        QVERIFY(desktop.own(mine));
        QVERIFY(desktop.focusTarget());
        auto pasteboard = std::make_shared<QtClipboardPasteboard>();
        PasteboardPaster paster(pasteboard, std::make_shared<XTestKeyboardEvents>(x11));
        fakeKey("Alt_L", true);
        paster.paste("dictated words");
        QVERIFY(desktop.clipboard("TARGETS").contains("x-kde-passwordManagerHint"));
        QTRY_COMPARE(desktop.typed(), QStringLiteral("dictated words"));
        fakeKey("Alt_L", false);
        QVERIFY(pasteboard->fetchCount() > 0);
        QVERIFY(desktop.clipboardHolds(mine));
    }

    // An owner that never answers leaves a snapshot incomplete, which is never restored.
    void aClipboardOwnerThatNeverAnswers() {
        Display* other = XOpenDisplay(nullptr);
        QVERIFY(other);
        const Window window =
            XCreateSimpleWindow(other, DefaultRootWindow(other), 0, 0, 1, 1, 0, 0, 0);
        XSetSelectionOwner(other, XInternAtom(other, "CLIPBOARD", False), window, CurrentTime);
        XSync(other, False);
        // An earlier paste left this process the owner until it hears it is no longer.
        QTRY_VERIFY(!QGuiApplication::clipboard()->ownsClipboard());
        QtClipboardPasteboard pasteboard;
        const PasteboardPaster::Snapshot snapshot = PasteboardPaster::snapshot(pasteboard);
        XCloseDisplay(other);
        QVERIFY(!snapshot.complete);
    }

    void terminalsGetControlShiftV() {
        TextField terminal(dir.path(), {"-name", "xterm"});
        QVERIFY(terminal.waitReady());
        XTestKeyboardEvents keyboard(x11);
        keyboard.postPasteChord();
        QTRY_VERIFY(terminal.lines().contains("key Ctrl+Shift+V"));

        TextField editor(dir.path());
        QVERIFY(editor.waitReady());
        keyboard.postPasteChord();
        QTRY_VERIFY(editor.lines().contains("key Ctrl+V"));
        QVERIFY(!editor.lines().contains("key Ctrl+Shift+V"));
    }

    // Any key the user names is watched, and not taken: keys typed while it is held still
    // reach the focused application. A name that is no key makes no watcher.
    void theHoldKeyIsWatchedNotTaken() {
        TextField field(dir.path());
        QVERIFY(field.waitReady());
        for (const char* key : {"Control_R", "Super_R"}) {
            QList<bool> changes;
            auto watcher =
                XInput2KeyWatcher::create(key, [&changes](bool held) { changes.append(held); });
            QVERIFY(watcher);
            fakeKey(key, true);
            fakeKey("a", true);
            fakeKey("a", false);
            fakeKey(key, false);
            QTRY_COMPARE(changes, (QList<bool>{true, false}));
        }
        QTRY_VERIFY(field.lines().contains("key Ctrl+A"));
        QVERIFY(!XInput2KeyWatcher::create("NoSuchKey", [](bool) {}));
    }
};

QTEST_MAIN(LinuxDesktopTest)
#include "LinuxDesktopTest.moc"
