#include "core/DictationCoordinator.h"
#include "common/Log.h"
#include "common/MirvoError.h"
#include "doubles/FakeComponents.h"
#include "doubles/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/Utilities.h"

#include <QTest>

#include <stdexcept>
#include <thread>

Q_DECLARE_METATYPE(PasteOutcome)

namespace {

// A coordinator wired to doubles, with handles on each of them.
struct Rig {
    // With `monitor` the key is watched by it instead of the double `hotkey`.
    explicit Rig(std::shared_ptr<Polisher> polisher = nullptr,
                 std::shared_ptr<HotkeyMonitor> monitor = nullptr,
                 double limitSeconds = DictationCoordinator::maxDictationSeconds) {
        hotkey = std::make_shared<FakeHotkeyMonitor>();
        recorder = std::make_shared<FakeAudioRecorder>(log);
        auto pasterDouble = std::make_unique<FakePaster>();
        paster = pasterDouble.get();
        auto hud = std::make_unique<HUDWindowController>([this](HUDModel&) {
            auto p = std::make_unique<FakeHUDPanel>();
            panel = p.get();
            return p;
        });
        coordinator = std::make_shared<DictationCoordinator>(
            monitor ? monitor : hotkey, recorder,
            [this](const QStringList& recent) {
                auto t = std::make_shared<FakeTranscriber>(log, "transcriber", recent);
                t->startError = std::exchange(nextTranscriberStartError, nullptr);
                transcribers.push_back(t);
                return t;
            },
            std::move(pasterDouble), std::move(hud), std::move(polisher), FakePlatform().texts(),
            limitSeconds);
        coordinator->start();
    }
    // Events reach the coordinator through the main loop; handle the queued one now.
    void down() {
        hotkey->press();
        QCoreApplication::sendPostedEvents();
    }
    void up() {
        hotkey->release();
        QCoreApplication::sendPostedEvents();
    }
    // A whole dictation whose transcriber answers `text`.
    void dictate(const QString& text) {
        down();
        up();
        transcribers.back()->finishWith(text);
    }
    FakeTranscriber& last() { return *transcribers.back(); }
    const HUDMode& mode() { return coordinator->hud().model().mode(); }

    LogCapture logs;
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    std::shared_ptr<FakeHotkeyMonitor> hotkey;
    std::shared_ptr<FakeAudioRecorder> recorder;
    FakePaster* paster = nullptr;
    FakeHUDPanel* panel = nullptr;
    std::shared_ptr<DictationCoordinator> coordinator;
    std::vector<std::shared_ptr<FakeTranscriber>> transcribers;
    std::exception_ptr nextTranscriberStartError;
};

template <typename E> std::exception_ptr errorOf(E e) {
    return std::make_exception_ptr(std::move(e));
}

} // namespace

class DictationCoordinatorTest : public QObject {
    Q_OBJECT

private slots:
    // These cases read the dictated words in the log, as test mode writes them.
    void initTestCase() { setLogDictatedWords(true); }

    void dictationDeliversTrimmedTextAndIgnoresStrayEvents() {
        Rig rig;
        QCOMPARE(rig.hotkey->startCount, 1);
        int completions = 0;
        rig.coordinator->onRecordingComplete = [&] { ++completions; };
        rig.up(); // idle: ignored
        QVERIFY(rig.transcribers.empty());
        QCOMPARE(rig.recorder->stopCount.load(), 0);

        rig.down();
        QVERIFY(rig.coordinator->isRecording());
        QVERIFY(rig.log->before("transcriber.start", "recorder.start")); // ready for buffers first
        QCOMPARE(rig.mode(), HUDMode::listening());
        QVERIFY(rig.panel && rig.panel->visible);
        rig.down(); // repeat while recording: ignored
        QCOMPARE(rig.transcribers.size(), size_t(1));
        QCOMPARE(rig.recorder->startCount.load(), 1);

        rig.up();
        QVERIFY(!rig.coordinator->isRecording());
        QCOMPARE(rig.recorder->stopCount.load(), 1);
        QCOMPARE(rig.mode(), HUDMode::processing());
        QVERIFY(rig.last().finishCalled());
        QVERIFY(rig.paster->pasted.isEmpty());

        rig.last().finishWith(QStringLiteral(" \n hello world\t\n"));
        QTRY_COMPARE(rig.paster->pasted, QStringList{"hello world"});
        QCOMPARE(completions, 1);
        QCOMPARE(rig.coordinator->recentTranscripts(), QStringList{"hello world"});
        rig.up(); // after the dictation: ignored
        QCOMPARE(rig.recorder->stopCount.load(), 1);

        // Empty transcripts, however blank, deliver nothing but still complete.
        for (const QString& nothing : {QString(), QStringLiteral(" \n\t\u00a0\u2003\r\n ")})
            rig.dictate(nothing);
        QTRY_COMPARE(rig.logs.count("[Mirvo] empty transcript — nothing to paste"), 2);
        QCOMPARE(completions, 3);
        QCOMPARE(rig.paster->pasted.size(), 1);
        QCOMPARE(rig.coordinator->recentTranscripts().size(), 1);
        QCOMPARE(rig.panel->calls.back(), QStringLiteral("fade to 0 over 0.2"));
    }

    // While the speech model loads the HUD says so once the key is up; audio it never took is
    // reported; a text ready late goes where the user still is, or is copied.
    void aDictationWaitingForTheModel() {
        Rig rig;
        rig.down();
        rig.last().onWaitingForModel(true);
        QCOMPARE(rig.mode(), HUDMode::listening()); // the meter shows the audio is kept
        rig.up();
        QCOMPARE(rig.mode(), HUDMode::processing(DictationCoordinator::preparingMessage));
        rig.last().onWaitingForModel(false);
        QCOMPARE(rig.mode(), HUDMode::processing());
        rig.last().finishWith("in the end");
        QTRY_COMPARE(rig.paster->pasted, QStringList{"in the end"});
        rig.last().onWaitingForModel(true); // a late word from a finished dictation: ignored
        QVERIFY(rig.mode() != HUDMode::processing(DictationCoordinator::preparingMessage));

        // The words heard show while the key is down, unless switched off; not after it.
        bool shown = true;
        rig.coordinator->showsHeardWords = [&] { return shown; };
        const HUDModel& hud = rig.coordinator->hud().model();
        rig.down();
        rig.last().onHeard("so far");
        QCOMPARE(hud.heard(), QStringLiteral("so far"));
        rig.up();
        rig.last().onHeard("so far and late");
        QCOMPARE(hud.heard(), QString());
        rig.last().finishWith("so far");
        shown = false;
        rig.down();
        rig.last().onHeard("hidden");
        QCOMPARE(hud.heard(), QString());
        rig.up();
        rig.last().finishWith("hidden");

        rig.down();
        rig.up();
        rig.last().shortfallText = SFTranscriber::modelNotReadyMessage;
        rig.last().finishWith("");
        QTRY_COMPARE(rig.mode(), HUDMode::error(SFTranscriber::modelNotReadyMessage));

        rig.coordinator->lateDeliverySeconds = 0;
        const QList<std::tuple<std::optional<QString>, bool>> focusAtDelivery = {
            {QStringLiteral("kate"), true},
            {QStringLiteral("firefox"), false},
            {std::nullopt, false}};
        for (const auto& [focus, pasted] : focusAtDelivery) {
            rig.paster->pasted.clear();
            rig.paster->copied.clear();
            rig.paster->focus = QStringLiteral("kate");
            rig.down();
            rig.up();
            rig.paster->focus = focus;
            rig.last().finishWith("late words");
            QTRY_COMPARE(rig.paster->pasted.size() + rig.paster->copied.size(), 1);
            QCOMPARE(rig.paster->pasted.size(), pasted ? 1 : 0);
            if (!pasted)
                QCOMPARE(rig.mode(), HUDMode::error(DictationCoordinator::savedMessage));
        }
    }

    void polishingAndAlternateDelivery() {
        auto polisher = std::make_shared<FakePolisher>(QStringLiteral("\n  Hello, world.  \n"));
        Rig rig(polisher);
        rig.dictate(QStringLiteral("  hello world um "));
        QTRY_COMPARE(rig.paster->pasted, QStringList{"Hello, world."});
        QCOMPARE(polisher->inputs, QStringList{"hello world um"});
        QVERIFY(rig.logs.contains("[Mirvo] polished: \"Hello, world.\""));

        // An empty polish result is still delivered.
        polisher->answer = QStringLiteral("   ");
        rig.dictate(QStringLiteral("again"));
        QTRY_COMPARE(rig.paster->pasted, (QStringList{"Hello, world.", ""}));

        // A polish slower than what is left of the service's time: the transcript as it is.
        polisher->delayMs = 2000;
        rig.coordinator->serviceWaitSeconds = 0.2;
        rig.dictate(QStringLiteral("too slow"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.paster->pasted.size(), 3, 1000);
        QCOMPARE(rig.paster->pasted.back(), QStringLiteral("too slow"));
        polisher->delayMs = 0;
        rig.paster->pasted.removeLast();

        // The alternate handler takes the text instead of the paster.
        QStringList handled;
        rig.coordinator->alternatePasteHandler = [&](const QString& text) { handled << text; };
        polisher->answer = QStringLiteral("Third.");
        rig.dictate(QStringLiteral("third"));
        QTRY_COMPARE(handled, QStringList{"Third."});
        QCOMPARE(rig.paster->pasted.size(), 2);
        QVERIFY(rig.logs.contains("[Mirvo] delivered via alternatePasteHandler"));
        // The raw texts, not the polished ones, become context.
        QCOMPARE(rig.coordinator->recentTranscripts(),
                 (QStringList{"hello world um", "again", "too slow", "third"}));
    }

    void deliveryOutcomesAreReported_data() {
        QTest::addColumn<PasteOutcome>("outcome");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("error"); // what the HUD then says; empty: it fades out
        addRow("pasted", PasteOutcome::pasted, "[Mirvo] pasted", QString());
        const QString saved = DictationCoordinator::savedMessage;
        addRow("copy failed", PasteOutcome::failed,
               "[Mirvo] paste failed: the text could not be put on the clipboard, so no paste was "
               "sent",
               saved);
        addRow("no paste chord here", PasteOutcome::copiedForUser,
               "[Mirvo] copied to the clipboard for the user to paste", saved);
        addRow("no focused window", PasteOutcome::noTarget,
               "[Mirvo] paste failed: no window has the keyboard focus", saved);
    }

    void deliveryOutcomesAreReported() {
        QFETCH(PasteOutcome, outcome);
        QFETCH(QString, line);
        QFETCH(QString, error);
        Rig rig;
        rig.paster->outcome = outcome;
        rig.dictate(QStringLiteral("words"));
        QTRY_VERIFY(rig.logs.contains(line));
        QCOMPARE(rig.logs.count("[Mirvo] pasted"), outcome == PasteOutcome::pasted ? 1 : 0);
        if (error.isEmpty()) {
            QCOMPARE(rig.panel->calls.back(), QStringLiteral("fade to 0 over 0.2"));
        } else {
            QCOMPARE(rig.mode(), HUDMode::error(error));
            QCOMPARE(rig.coordinator->hud().pendingAutoHideSeconds(), std::optional<double>(4.0));
        }
        // Kept whatever became of it, marked with how it went.
        const std::optional<DictationEntry> kept = rig.coordinator->history().newest();
        QVERIFY(kept);
        QCOMPARE(kept->text, QStringLiteral("words"));
        QCOMPARE(kept->outcome, outcome);
        QCOMPARE(kept->application, QStringLiteral("kate"));
    }

    // The newest dictation goes out again through the same paster; not while one is recorded,
    // and not before there is one.
    void theLastDictationPastesAgain() {
        Rig rig;
        rig.coordinator->pasteLast();
        QVERIFY(rig.paster->pasted.isEmpty());
        rig.dictate(QStringLiteral("first"));
        rig.dictate(QStringLiteral("second"));
        QTRY_COMPARE(rig.paster->pasted.size(), 2);
        rig.coordinator->pasteLast();
        QCOMPARE(rig.paster->pasted.back(), QStringLiteral("second"));
        rig.down();
        rig.coordinator->pasteLast();
        QCOMPARE(rig.paster->pasted.size(), 3);
        rig.up();
        rig.transcribers.back()->finishWith(QString());
        rig.paster->outcome = PasteOutcome::noTarget;
        rig.coordinator->pasteLast();
        QCOMPARE(rig.mode(), HUDMode::error(DictationCoordinator::savedMessage));
        QCOMPARE(rig.coordinator->history().entries().size(), 2); // a repeat is no new entry
    }

    // A key-up that never comes (a `--hold` without `--release`) does not keep the microphone
    // open: the dictation ends by itself, and the next hold starts a new one.
    void aDictationEndsByItselfAtTheLimit() {
        HotkeyCommands commands;
        Rig rig(nullptr, std::make_shared<CommandHotkeyMonitor>(nullptr, &commands), 0.2);
        emit commands.issued(HotkeyCommand::hold);
        QTRY_VERIFY(rig.coordinator->isRecording());
        QTRY_VERIFY_WITH_TIMEOUT(!rig.coordinator->isRecording(), 2000);
        QCOMPARE(rig.recorder->stopCount.load(), 1);
        rig.last().finishWith(QStringLiteral("all it heard"));
        QTRY_COMPARE(rig.paster->pasted, QStringList{"all it heard"});
        QCOMPARE(rig.mode(), HUDMode::error(QStringLiteral("Stopped after 0.2 seconds")));
        emit commands.issued(HotkeyCommand::hold);
        QTRY_COMPARE(rig.transcribers.size(), size_t(2));
        QVERIFY(rig.coordinator->isRecording());
    }

    void startFailuresShowTheirMessage_data() {
        QTest::addColumn<bool>("recorderFails");
        QTest::addColumn<std::exception_ptr>("error");
        QTest::addColumn<QString>("printed");
        QTest::addColumn<QString>("message");
        addRow("no microphone, after transcriber started", true,
               errorOf(MirvoError(MirvoError::Kind::noMicrophone, "no source")),
               "no source (no microphone)", "No microphone found. Check your sound settings.");
        addRow("dictation off", false,
               errorOf(MirvoError(MirvoError::Kind::speechModelUnusable, "off")),
               "off (speech model unusable)", "Model broken.");
        addRow("unavailable", false, errorOf(TranscriberError::unavailable()), "unavailable",
               "Speech recognition unavailable for this language.");
        addRow("anything else", true, errorOf(std::runtime_error("boom")), "boom",
               "Couldn't start dictation.");
    }

    void startFailuresShowTheirMessage() {
        QFETCH(bool, recorderFails);
        QFETCH(std::exception_ptr, error);
        QFETCH(QString, printed);
        QFETCH(QString, message);

        Rig rig;
        int completions = 0;
        QStringList told;
        rig.coordinator->onRecordingComplete = [&] { ++completions; };
        rig.coordinator->onStartFailure = [&](const QString& m) { told.append(m); };
        (recorderFails ? rig.recorder->startError : rig.nextTranscriberStartError) = error;
        rig.coordinator->hud().model().setLevel(0.7);
        rig.down();
        QVERIFY(rig.logs.contains("[Mirvo] start recording failed: " + printed));
        QVERIFY(!rig.coordinator->isRecording());
        QCOMPARE(rig.mode(), HUDMode::error(message));
        QCOMPARE(told, QStringList{message});
        QCOMPARE(rig.coordinator->hud().model().level(), 0.0);
        QCOMPARE(rig.coordinator->hud().pendingAutoHideSeconds(), std::optional<double>(4.0));
        QCOMPARE(rig.recorder->startCount.load(), recorderFails ? 1 : 0);
        // The failed transcriber is dropped without finish() and nothing owns it any more.
        QVERIFY(!rig.last().finishCalled());
        QCOMPARE(rig.transcribers.back().use_count(), 1);

        // The following up is ignored; the next down starts afresh.
        rig.up();
        QCOMPARE(rig.recorder->stopCount.load(), 0);
        QVERIFY(!rig.logs.contains("[Mirvo] awaiting transcript…"));
        rig.recorder->startError = nullptr;
        rig.down();
        QVERIFY(rig.coordinator->isRecording());
        QCOMPARE(rig.mode(), HUDMode::listening());
        QCOMPARE(completions, 0);
    }

    void newDictationWhileEarlierOneFinishes() {
        Rig rig;
        rig.down();
        rig.up();
        auto first = rig.transcribers.back();
        rig.down(); // starts at once, although the first is still finishing
        QCOMPARE(rig.transcribers.size(), size_t(2));
        QCOMPARE(rig.recorder->startCount.load(), 2);

        first->finishWith(QStringLiteral("first"));
        QTRY_COMPARE(rig.paster->pasted, QStringList{"first"});
        // The earlier dictation still hides the HUD when it completes.
        QCOMPARE(rig.panel->calls.back(), QStringLiteral("fade to 0 over 0.2"));
        QVERIFY(rig.coordinator->isRecording());
        rig.up();
        rig.last().finishWith(QStringLiteral("second"));
        QTRY_COMPARE(rig.paster->pasted, (QStringList{"first", "second"}));
    }

    void finishingOutlivesTheOwnerAndCallbacksHoldItWeakly() {
        auto rig = std::make_unique<Rig>();
        rig->down();
        rig->up();
        auto transcriber = rig->transcribers.back();
        auto recorder = rig->recorder;
        std::weak_ptr<DictationCoordinator> weak = rig->coordinator;
        LogCapture logs;

        // The owner lets go; the finishing task keeps the coordinator alive until it is done.
        rig->coordinator.reset();
        QVERIFY(!weak.expired());
        transcriber->finishWith(QStringLiteral("late"));
        QTRY_VERIFY(logs.contains("[Mirvo] pasted"));
        QTRY_VERIFY(weak.expired());

        // Callbacks that outlive the coordinator do nothing.
        recorder->deliver(AudioBuffer::make(makeSpeechFormat(), 4));
        recorder->deliverLevel(0.5f);
        QCoreApplication::sendPostedEvents();
        QCOMPARE(transcriber->buffers().size(), size_t(0));
    }

    void buffersReachOnlyTheTranscriberActiveAtThatMoment() {
        Rig rig;
        const auto format = makeAudioFormat(48000, 1, SampleType::float32, false);
        std::atomic<bool> stop{false};
        std::atomic<int> delivered{0};
        // The capture thread delivers continuously while the recorder runs.
        std::thread captureThread([&] {
            while (!stop) {
                if (rig.recorder->running) {
                    rig.recorder->deliver(AudioBuffer::make(format, 16));
                    ++delivered;
                } else {
                    std::this_thread::yield();
                }
            }
        });
        constexpr int dictations = 30;
        for (int i = 0; i < dictations; ++i) {
            rig.down();
            QTRY_VERIFY(rig.last().buffers().size() >= 3);
            rig.up();
            rig.last().finishWith(QStringLiteral("take %1").arg(i));
        }
        QTRY_COMPARE(rig.paster->pasted.size(), dictations);
        stop = true;
        captureThread.join();

        size_t routed = 0;
        for (const auto& t : rig.transcribers) {
            QCOMPARE(t->appendsAfterFinish(), 0);
            routed += t->buffers().size();
        }
        QVERIFY(routed <= size_t(delivered.load()));
        QVERIFY(routed >= size_t(3 * dictations));
    }
};

QTEST_GUILESS_MAIN(DictationCoordinatorTest)
#include "DictationCoordinatorTest.moc"
