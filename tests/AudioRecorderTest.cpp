#include "mirvo/AudioRecorder.h"
#include "doubles/FakePlatform.h"
#include "mirvo/WAVEncoder.h"
#include "platform/PlatformError.h"
#include "platform/linux/SndFileAudioFile.h"
#include "support/LogCapture.h"
#include "support/Signals.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

AudioBufferPtr constant(const AudioFormatPtr& format, uint32_t frames,
                        const std::function<float(uint32_t i, int c)>& value) {
    AudioBufferPtr b = AudioBuffer::make(format, frames);
    for (int c = 0; c < format->channelCount; ++c)
        for (uint32_t i = 0; i < frames; ++i)
            b->floatChannel(c)[size_t(i) * size_t(b->stride())] = value(i, c);
    b->setFrameLength(frames);
    return b;
}

// An audio file that claims a length no buffer can hold.
class EndlessFile final : public AudioFile {
public:
    explicit EndlessFile(int64_t frames) : frames_(frames) {}
    AudioFormatPtr processingFormat() const override { return format_; }
    int64_t length() const override { return frames_; }
    void read(AudioBuffer&) override { QFAIL("read without a buffer"); }

private:
    int64_t frames_;
    AudioFormatPtr format_ = makeAudioFormat(48000, 16, SampleType::float32, true);
};

struct Delivery {
    int buffers = 0;
    uint32_t frames = 0;
    QList<float> levels;
    bool onMainThread = true;
};

void record(AudioRecorder& recorder, Delivery& d) {
    recorder.onBuffer = [&d](const AudioBufferPtr& b) {
        ++d.buffers;
        d.frames += b->frameLength();
        d.onMainThread =
            d.onMainThread && QThread::currentThread() == QCoreApplication::instance()->thread();
    };
    recorder.onRMS = [&d](float level) { d.levels.append(level); };
}

} // namespace

class AudioRecorderTest : public QObject {
    Q_OBJECT

private slots:
    void levelIsTheRootMeanSquareOfChannelZero() {
        const auto mono = makeAudioFormat(48000, 1, SampleType::float32, false);
        QCOMPARE(AVEngineAudioRecorder::rms(*constant(mono, 1024, [](auto, auto) { return 0.f; })),
                 0.f);
        QCOMPARE(AVEngineAudioRecorder::rms(*constant(mono, 1024, [](auto, auto) { return 0.5f; })),
                 0.5f);
        QCOMPARE(AVEngineAudioRecorder::rms(
                     *constant(mono, 1024, [](uint32_t i, int) { return i % 2 ? -1.f : 1.f; })),
                 1.f);
        // Other channels are ignored, interleaved or not.
        for (bool interleaved : {true, false}) {
            const auto stereo = makeAudioFormat(44100, 2, SampleType::float32, interleaved);
            QCOMPARE(AVEngineAudioRecorder::rms(
                         *constant(stereo, 512, [](auto, int c) { return c ? 1.f : 0.5f; })),
                     0.5f);
        }
        // No frames, or no float data: level 0.
        QCOMPARE(AVEngineAudioRecorder::rms(*AudioBuffer::make(mono, 1024)), 0.f);
        auto ints = AudioBuffer::make(makeSpeechFormat(), 8);
        ints->int16Channel(0)[0] = 30000;
        ints->setFrameLength(8);
        QCOMPARE(AVEngineAudioRecorder::rms(*ints), 0.f);
    }

    void microphoneRecorderManagesItsTap() {
        LogCapture logs;
        auto engine = std::make_unique<FakeAudioEngine>();
        FakeAudioEngine& fake = *engine;
        AVEngineAudioRecorder recorder(std::move(engine));
        Delivery d;
        record(recorder, d);

        recorder.stop(); // never started: nothing to undo
        QCOMPARE(fake.stops + fake.tapsRemoved, 0);

        recorder.start();
        QCOMPARE(fake.tapBufferSize, 1024u);
        QCOMPARE(logs.lines(),
                 (QStringList{"[Mirvo/Audio] installing tap on input bus 0 with nil format",
                              "[Mirvo/Audio] engine started"}));
        const auto format = makeAudioFormat(48000, 1, SampleType::float32, false);
        fake.capture(constant(format, 1024, [](auto, auto) { return 0.25f; }));
        QCOMPARE(d.buffers, 1);
        QCOMPARE(d.levels, QList<float>{0.25f});

        recorder.stop();
        recorder.stop();
        QCOMPARE(fake.stops, 1);
        QCOMPARE(fake.tapsRemoved, 1);

        // A failed start removes the tap again and rethrows the engine's error unchanged.
        logs.clear();
        fake.startError = std::make_exception_ptr(
            PlatformError("com.apple.coreaudio.avfaudio", -10868, "no input source"));
        try {
            recorder.start();
            QFAIL("start() should have thrown");
        } catch (const PlatformError& e) {
            QCOMPARE(e.domain(), QStringLiteral("com.apple.coreaudio.avfaudio"));
            QCOMPARE(e.code(), -10868L);
        }
        QCOMPARE(logs.lines().last(),
                 QStringLiteral("[Mirvo/Audio] engine.start() threw: Error "
                                "Domain=com.apple.coreaudio.avfaudio Code=-10868 \"no input "
                                "source\" — removing tap"));
        QCOMPARE(fake.tapsRemoved, 2);
        recorder.stop(); // the tap is already gone
        QCOMPARE(fake.tapsRemoved, 2);
    }

    void fileRecorderDeliversTheWholeFileOnceAfterFiftyMilliseconds() {
        QTemporaryDir dir;
        const QString path = dir.filePath("speech.wav");
        std::vector<int16_t> samples(8000, 1000);
        {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(WAVEncoder::encode(samples, speechSampleRate, 1));
        }
        FileAudioRecorder recorder(path, &SndFileAudioFile::open);
        Delivery d;
        record(recorder, d);

        QElapsedTimer clock;
        clock.start();
        recorder.start();
        QCOMPARE(d.buffers, 0); // never synchronously
        QTRY_COMPARE(d.buffers, 1);
        QVERIFY(clock.elapsed() >= 45);
        QCOMPARE(d.frames, 8000u);
        QCOMPARE(d.levels, QList<float>{0.6f});
        QVERIFY(d.onMainThread);
        QTest::qWait(100);
        QCOMPARE(d.buffers, 1);

        // Stopped within 50 ms: nothing at all arrives.
        recorder.start();
        recorder.stop();
        QTest::qWait(150);
        QCOMPARE(d.buffers, 1);
        QCOMPARE(d.levels.size(), 1);

        // Each start delivers again; a recorder destroyed first delivers nothing.
        recorder.start();
        QTRY_COMPARE(d.buffers, 2);
        QCOMPARE(d.levels, (QList<float>{0.6f, 0.6f}));
        {
            FileAudioRecorder doomed(path, &SndFileAudioFile::open);
            record(doomed, d);
            doomed.start();
        }
        QTest::qWait(150);
        QCOMPARE(d.buffers, 2);
    }

    void fileRecorderReportsBadFiles() {
        QTemporaryDir dir;
        const QString missing = dir.filePath("missing.wav");
        const QString garbage = dir.filePath("garbage.wav");
        {
            QFile f(garbage);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray("RIFF\x10\0\0\0WAVEnot really audio at all", 36));
        }
        for (const QString& path : {missing, garbage, dir.path()}) {
            FileAudioRecorder recorder(path, &SndFileAudioFile::open);
            try {
                recorder.start();
                QFAIL(qPrintable("no error for " + path));
            } catch (const PlatformError& e) {
                QVERIFY2(e.localizedDescription().contains(path),
                         qPrintable(e.localizedDescription()));
                QVERIFY(e.is(PlatformErrors::audioFileUnreadable));
            }
        }

        for (int64_t frames : {int64_t(4'000'000'000), int64_t(1) << 33}) {
            FileAudioRecorder huge(QStringLiteral("/huge.wav"), [frames](const QString&) {
                return std::make_unique<EndlessFile>(frames);
            });
            try {
                huge.start();
                QFAIL("no error for a file too large to hold");
            } catch (const PlatformError& e) {
                QCOMPARE(e.domain(), QStringLiteral("Mirvo.FileAudioRecorder"));
                QCOMPARE(e.code(), 1L);
                QVERIFY(e.is(PlatformErrors::audioFileTooLarge));
                QCOMPARE(e.localizedDescription(), QStringLiteral("Could not allocate PCM buffer"));
            }
        }
    }
};

QTEST_GUILESS_MAIN(AudioRecorderTest)
#include "AudioRecorderTest.moc"
