#include "common/Log.h"
#include "core/Transcriber.h"
#include "doubles/FakePlatform.h"
#include "support/Await.h"
#include "support/LogCapture.h"

#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// A transcriber on a fake recognizer and a hand-driven clock.
struct Rig {
    explicit Rig(QStringList context = {}, double finishTimeout = 8.0,
                 double modelWaitLimit = 60.0) {
        recognizer = std::make_shared<FakeSpeechRecognizer>();
        SFTranscriber::Timing timing;
        timing.finishTimeout = finishTimeout;
        timing.modelWaitLimit = modelWaitLimit;
        timing.now = [this] { return clock.load(); };
        transcriber = std::make_shared<SFTranscriber>(QStringLiteral("en-US"), context,
                                                      recognizer->provider(), timing);
    }
    AudioBufferPtr buffer() {
        auto b = AudioBuffer::make(format, 1024);
        b->setFrameLength(1024);
        return b;
    }
    // Appends a buffer `seconds` after the previous one.
    AudioBufferPtr feed(double seconds = 0.1) {
        clock = clock + seconds;
        auto b = buffer();
        transcriber->append(b);
        return b;
    }
    std::shared_ptr<FakeRecognitionTask> task(size_t i) { return recognizer->task(i); }

    std::atomic<double> clock{1000.0};
    const AudioFormatPtr format = makeAudioFormat(speechSampleRate, 1, SampleType::float32, true);
    std::shared_ptr<FakeSpeechRecognizer> recognizer;
    std::shared_ptr<SFTranscriber> transcriber;
    LogCapture logs;
};

} // namespace

class SFTranscriberTest : public QObject {
    Q_OBJECT

private slots:
    // These cases read the dictated words in the log, as test mode writes them.
    void initTestCase() { setLogDictatedWords(true); }

    void trimOverlapCutsTheReplayedWords() {
        const std::vector<double> t = {0.2, 0.9, 1.6, 2.4};
        // Words that began inside the overlap go; an empty piece (two spaces) counts as a word;
        // more segments than pieces keeps nothing past the last piece.
        const QList<std::tuple<QString, std::vector<double>, double, QString>> cases = {
            {"a b c d", t, 1.5, "c d"}, {"a b c d", t, 0, "a b c d"},    {"a b c d", t, 3.0, ""},
            {"a b c d", t, 2.4, "d"},   {"a b c d", {}, 1.5, "a b c d"}, {"a b", t, 2.0, ""},
            {"a  b c", t, 1.5, "b c"},
        };
        for (const auto& [text, times, overlap, kept] : cases)
            QCOMPARE(SFTranscriber::trimOverlap(text, times, overlap), kept);
    }

    void rotatesAtFortyFiveSecondsWithTheLastTwoSecondsReplayed() {
        Rig rig;
        const double started = rig.clock;
        rig.transcriber->start();
        std::vector<AudioBufferPtr> fed;
        // Buffers every 0.25 s up to 44.99 s after the request started: no rotation.
        while (rig.clock + 0.25 < started + 44.99)
            fed.push_back(rig.feed(0.25));
        rig.clock = started + 44.99 - 0.25;
        fed.push_back(rig.feed(0.25));
        QCOMPARE(rig.recognizer->taskCount(), size_t(1));

        // At exactly 45.0 s the buffer goes to a new chunk, after the replay of the last 2 s.
        rig.clock = started + 45.0 - 0.01;
        const AudioBufferPtr trigger = rig.feed(0.01);
        QCOMPARE(rig.recognizer->taskCount(), size_t(2));
        QVERIFY(rig.task(0)->request->isAudioEnded());
        QVERIFY(!rig.task(0)->cancelled);
        QVERIFY(rig.task(0)->received() == fed);
        const std::vector<AudioBufferPtr> replay = rig.task(1)->received();
        // Replayed: the buffers of the last two seconds (44.99 back to 42.99), then the trigger.
        const std::vector<AudioBufferPtr> expectedReplay(fed.end() - 9, fed.end());
        QCOMPARE(replay.size(), expectedReplay.size() + 1);
        QVERIFY(std::equal(expectedReplay.begin(), expectedReplay.end(), replay.begin()));
        QCOMPARE(replay.back(), trigger);

        // The new chunk's words inside the replay are cut; the chunks are joined in order.
        rig.task(1)->deliver("world again and more", {0.3, 1.2, 2.3, 2.6}, false);
        rig.task(0)->deliver("hello world", {10, 43}, true);
        auto finishing = rig.transcriber->finish();
        QVERIFY(rig.task(1)->request->isAudioEnded());
        // After finish() no rotation happens, however long buffers keep coming.
        rig.clock = rig.clock + 100;
        rig.feed(1);
        QCOMPARE(rig.recognizer->taskCount(), size_t(2));
        rig.task(1)->deliver("world again and more", {0.3, 1.2, 2.3, 2.6}, true);
        QCOMPARE(*await(std::move(finishing)).value, QStringLiteral("hello world and more"));
    }

    // No final result by the limit: the partial text then, and the task cancelled. Partial
    // words are told as heard until the release, each change once.
    void finishWaitsAtMostTheTimeLimit() {
        Rig rig({}, 0.3);
        QStringList heard;
        rig.transcriber->onHeard = [&](const QString& words) { heard.append(words); };
        rig.transcriber->start();
        rig.feed();
        rig.task(0)->deliver("partial", {0.1}, false);
        rig.task(0)->deliver("partial", {0.1}, false);
        rig.task(0)->deliver("partial words", {0.1, 0.5}, false);
        QTRY_COMPARE(heard, (QStringList{"partial", "partial words"}));
        QElapsedTimer clock;
        clock.start();
        auto finishing = rig.transcriber->finish();
        // A main thread busy past the limit does not hold the forced resolve back.
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        QVERIFY(rig.task(0)->cancelled);
        QVERIFY(rig.logs.contains("[Mirvo/Transcriber] resolve force=true pending=[0] "
                                  "slots=[0] text=\"partial words\""));
        QCOMPARE(*await(std::move(finishing)).value, QStringLiteral("partial words"));
        QVERIFY(clock.elapsed() >= 280);
        // The cancelled task's late error changes nothing for the caller.
        rig.task(0)->fail(
            MirvoError(MirvoError::Kind::recognitionCanceled, "Recognition request was canceled"));
        QVERIFY(rig.logs.contains("[Mirvo/Transcriber] chunk=0 final error=Recognition "
                                  "request was canceled text=\"partial words\" pending=[]"));
    }

    // A chunk still waiting for its speech model does not use up the time limit: it starts when
    // decoding does. Past the longer limit the audio is dropped, and the user is told.
    void aChunkWaitingForItsModelIsNotCutShort() {
        struct Case {
            const char* name;
            int decodeAfterMs; // -1: never
            bool final;
            QString text;
            QString shortfall;
        };
        const QList<Case> cases = {
            {"decodes late, then final", 500, true, "all the words", ""},
            {"decodes late, never final", 500, false, "some words", ""},
            {"never decodes", -1, false, "", SFTranscriber::modelNotReadyMessage},
        };
        for (const Case& c : cases) {
            Rig rig({}, 0.3, 1.5);
            QList<bool> waits;
            rig.transcriber->onWaitingForModel = [&](bool waiting) { waits.append(waiting); };
            rig.transcriber->start();
            rig.feed();
            rig.task(0)->tell(RecognitionStage::waitingForModel);
            QElapsedTimer clock;
            clock.start();
            auto finishing = rig.transcriber->finish();
            if (c.decodeAfterMs >= 0)
                QTimer::singleShot(c.decodeAfterMs, [&] {
                    rig.task(0)->tell(RecognitionStage::decoding);
                    rig.task(0)->deliver(c.text, {0.1}, c.final);
                });
            QCOMPARE(*await(std::move(finishing), 5000).value, c.text);
            const qint64 elapsed = clock.elapsed();
            if (c.decodeAfterMs < 0)
                QVERIFY2(elapsed >= 1400, c.name);
            else if (c.final)
                QVERIFY2(elapsed >= 450 && elapsed < 750, c.name);
            else // the limit counted from the start of decoding
                QVERIFY2(elapsed >= 750 && elapsed < 1400, c.name);
            QCOMPARE(rig.transcriber->shortfall(), c.shortfall);
            QTRY_COMPARE(waits, (QList<bool>{true, false}));
        }
    }

    void chunksAreJoinedInOrderSkippingEmptyOnes() {
        Rig rig;
        rig.transcriber->start();
        for (int i = 0; i < 180; ++i)
            rig.feed(0.5); // 90 s: two rotations
        QCOMPARE(rig.recognizer->taskCount(), size_t(3));
        auto finishing = rig.transcriber->finish();
        rig.task(2)->deliver(" again ", {2.5}, true); // after the 2-s replay
        rig.task(1)->deliver("", {}, true);
        rig.task(0)->deliver("hello world", {0.1, 0.4}, true);
        QCOMPARE(*await(std::move(finishing)).value, QStringLiteral("hello world again"));
    }

    void chunkErrorsAndFailedRotations() {
        Rig rig;
        const double started = rig.clock;
        rig.transcriber->start();
        rig.feed();
        // The active chunk fails before the dictation ends: no request any more, no rotation.
        rig.task(0)->deliver("kept text", {0.1, 0.2}, false);
        rig.task(0)->fail(MirvoError(MirvoError::Kind::noSpeech, "No speech detected"));
        QVERIFY(rig.logs.contains("[Mirvo/Transcriber] chunk=0 final error=No speech detected "
                                  "text=\"kept text\" pending=[]"));
        rig.clock = started + 60;
        rig.feed();
        QCOMPARE(rig.recognizer->taskCount(), size_t(1));
        QCOMPARE(*await(rig.transcriber->finish()).value, QStringLiteral("kept text"));

        // A rotation whose new task cannot start: logged, recording goes on unrecognised.
        Rig failing;
        failing.transcriber->start();
        failing.recognizer->nextTaskError =
            std::make_exception_ptr(MirvoError(MirvoError::Kind::recognition, "busy"));
        failing.clock = failing.clock + 46;
        failing.feed();
        QVERIFY(failing.logs.contains(
            "[Mirvo/Transcriber] rotate: new task failed: busy (recognition error)"));
        failing.feed(50);
        QCOMPARE(failing.recognizer->taskCount(), size_t(1));
        QCOMPARE(failing.logs.startingWith("[Mirvo/Transcriber] rotate: chunk=0").size(), 1);
        // The chunk that never started is not waited for.
        auto finishing = failing.transcriber->finish();
        failing.task(0)->deliver("before the rotation", {0.1, 0.2, 0.3}, true);
        QCOMPARE(*await(std::move(finishing), 2000).value, QStringLiteral("before the rotation"));
    }

    void staleResultsAndReleasedTranscribers() {
        Rig rig;
        rig.transcriber->start();
        auto oldTask = rig.task(0);
        rig.transcriber->start(); // a new session
        oldTask->deliver("stale", {0.1}, true);
        QVERIFY(rig.logs.startingWith("[Mirvo/Transcriber] chunk=").isEmpty());
        rig.task(1)->deliver("fresh", {0.1}, true);
        QCOMPARE(*await(rig.transcriber->finish()).value, QStringLiteral("fresh"));

        // Released with a task and a timer outstanding: their callbacks find nothing.
        Rig gone({}, 0.1);
        gone.transcriber->start();
        gone.feed();
        auto task = gone.task(0);
        {
            auto finishing = gone.transcriber->finish(); // suspended; dropped unawaited
            Q_UNUSED(finishing);
        }
        std::weak_ptr<SFTranscriber> weak = gone.transcriber;
        gone.transcriber.reset();
        QTest::qWait(250); // the time limit passes
        task->deliver("late", {0.1}, true);
        QVERIFY(gone.logs.startingWith("[Mirvo/Transcriber] resolve").isEmpty());
    }

    void feedsAndResultsFromManyThreads() {
        Rig rig;
        rig.transcriber->start();
        std::atomic<bool> stop{false};
        std::thread capture([&] {
            for (int i = 0; i < 4000 && !stop; ++i)
                rig.feed(0.02); // 80 s of audio: one rotation
        });
        std::thread recognizer([&] {
            for (int i = 0; i < 2000; ++i) {
                const size_t n = rig.recognizer->taskCount();
                rig.task(n - 1)->deliver(QStringLiteral("word %1").arg(i), {0.1, 2.5}, false);
                rig.task(n - 1)->received();
            }
        });
        capture.join();
        recognizer.join();
        QCOMPARE(rig.recognizer->taskCount(), size_t(2));
        auto finishing = rig.transcriber->finish();
        std::thread finals([&] {
            rig.task(0)->deliver("first chunk", {1, 2}, true);
            rig.task(1)->deliver("overlap second chunk", {0.5, 2.5, 3}, true);
        });
        const auto text = await(std::move(finishing));
        finals.join();
        QCOMPARE(*text.value, QStringLiteral("first chunk second chunk"));
    }
};

QTEST_GUILESS_MAIN(SFTranscriberTest)
#include "SFTranscriberTest.moc"
