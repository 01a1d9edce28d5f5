// Audio capture: the WAV image, the accumulator's conversion to 16 kHz mono, the file recorder,
// and the microphone through a private PulseAudio server (whose fidelity the dictations of the
// desktop scenarios judge by the words recognised).
#include "common/MirvoError.h"
#include "core/AudioRecorder.h"
#include "core/PCMAccumulator.h"
#include "core/WAVEncoder.h"
#include "platform/linux/sound/PulseAudioEngine.h"
#include "platform/linux/sound/PulseOtherSounds.h"
#include "platform/linux/sound/SndFileAudioFile.h"
#include "support/LogCapture.h"
#include "support/PulseAudioServer.h"
#include "support/Signals.h"
#include "support/Subprocess.h"
#include "support/Utilities.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>

namespace {

uint32_t u32At(const QByteArray& b, int at) {
    uint32_t v = 0;
    memcpy(&v, b.constData() + at, 4); // little-endian, as the machine
    return v;
}

std::vector<int16_t> samplesOf(const QByteArray& wav) {
    std::vector<int16_t> out(size_t(wav.size() - 44) / 2);
    memcpy(out.data(), wav.constData() + 44, out.size() * 2);
    return out;
}

AudioBufferPtr constant(const AudioFormatPtr& format, uint32_t frames,
                        const std::function<float(uint32_t i, int c)>& value) {
    AudioBufferPtr b = AudioBuffer::make(format, frames);
    for (int c = 0; c < format->channelCount; ++c)
        for (uint32_t i = 0; i < frames; ++i)
            b->floatChannel(c)[size_t(i) * size_t(b->stride())] = value(i, c);
    b->setFrameLength(frames);
    return b;
}

void expectNoMicrophone(AudioRecorder& recorder) {
    try {
        recorder.start();
        QFAIL("start() should have thrown");
    } catch (const MirvoError& e) {
        QVERIFY(e.is(MirvoError::Kind::noMicrophone));
    }
}

// An audio file that claims a length no buffer can hold.
class EndlessFile final : public AudioFile {
public:
    explicit EndlessFile(int64_t frames) : frames_(frames) {}
    AudioFormatPtr processingFormat() const override {
        return makeAudioFormat(48000, 16, SampleType::float32, true);
    }
    int64_t length() const override { return frames_; }
    void read(AudioBuffer&) override { QFAIL("read without a buffer"); }

private:
    int64_t frames_;
};

} // namespace

class AudioTest : public QObject {
    Q_OBJECT

private slots:
    // What Mirvo uploads reads back, as a service's decoder reads it, sample for sample.
    void levelIsTheRootMeanSquareOfChannelZero() {
        QCOMPARE(AVEngineAudioRecorder::rms(
                     *constant(makeAudioFormat(44100, 2, SampleType::float32, true), 512,
                               [](uint32_t i, int c) { return c ? 1.f : (i % 2 ? -.5f : .5f); })),
                 0.5f);
        const auto empty =
            AudioBuffer::make(makeAudioFormat(48000, 1, SampleType::float32, false), 8);
        QCOMPARE(AVEngineAudioRecorder::rms(*empty), 0.f); // no frames
    }

    void wavImagesReadBack() {
        QTemporaryDir dir;
        const std::vector<int16_t> samples = {-2, 1, 32767, -32768};
        const QString path = dir.filePath("a.wav");
        QVERIFY(writeFile(path, WAVEncoder::encode(samples, 44100, 2)));
        const auto file = SndFileAudioFile::open(path);
        QCOMPARE(file->processingFormat()->sampleRate, 44100.0);
        QCOMPARE(file->processingFormat()->channelCount, 2);
        QCOMPARE(file->length(), 2);
        const auto buffer = AudioBuffer::make(file->processingFormat(), 2);
        file->read(*buffer);
        for (size_t i = 0; i < samples.size(); ++i)
            QCOMPARE(buffer->floatChannel(int(i % 2))[(i / 2) * size_t(buffer->stride())],
                     float(samples[i]) / 32768);
        // A byte rate that fits although rate × channels × 16 does not fit 32 bits.
        QCOMPARE(u32At(WAVEncoder::encode({}, 192000, 2000), 28), 768000000u);
    }

    void resamplesAndMixesDownKeepingPitchAndLevel_data() {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("sampleType");
        QTest::addColumn<bool>("interleaved");
        QTest::addColumn<bool>("rightSilent");
        const double full = 0.5 * 32768 / std::sqrt(2.0);
        QTest::addColumn<double>("expectedRms");
        addRow("48 kHz stereo float", 48000.0, 2, int(SampleType::float32), false, false, full);
        addRow("48 kHz stereo float, right silent", 48000.0, 2, int(SampleType::float32), true,
               true, full / 2);
        addRow("44.1 kHz mono int16", 44100.0, 1, int(SampleType::int16), true, false, full);
        addRow("16 kHz mono int16, as it is", 16000.0, 1, int(SampleType::int16), true, false,
               full);
    }

    void resamplesAndMixesDownKeepingPitchAndLevel() {
        QFETCH(double, rate);
        QFETCH(int, channels);
        QFETCH(int, sampleType);
        QFETCH(bool, interleaved);
        QFETCH(bool, rightSilent);
        QFETCH(double, expectedRms);
        LogCapture logs;
        PCMAccumulator accumulator;
        const auto format = makeAudioFormat(rate, channels, SampleType(sampleType), interleaved);
        for (const auto& b : Signals::buffers(format, 2.0, 1024, [&](double t, int c) {
                 return c == 1 && rightSilent ? 0.0f : Signals::sine(t, 440, 0.5);
             }))
            accumulator.append(b);
        // The resampler's filter delay stays inside it (the stream is never ended).
        const size_t n = accumulator.sampleCount();
        QVERIFY2(n <= 32000 && n >= 32000 - 600, qPrintable(QString::number(n)));
        if (rate == speechSampleRate) // nothing to convert: every sample passes
            QCOMPARE(n, size_t(32000));
        const std::vector<int16_t> s = samplesOf(accumulator.makeWAV());
        QVERIFY(qAbs(Signals::frequency(s, 2000, n - 100, 16000) - 440) < 1.0);
        const double level = Signals::rms(s, 2000, n - 100);
        QVERIFY2(qAbs(level - expectedRms) < expectedRms * 0.02,
                 qPrintable(QString::number(level)));
        QVERIFY(logs.lines().isEmpty());
        accumulator.reset();
        QCOMPARE(accumulator.makeWAV().size(), 44);
    }

    void unusableInputIsLoggedAndDropped() {
        LogCapture logs;
        PCMAccumulator accumulator;
        accumulator.append(AudioBuffer::make(makeAudioFormat(48000, 2, SampleType::float32, false),
                                             0)); // no frames: nothing, silently
        QVERIFY(logs.lines().isEmpty());
        // A format no converter can take: every buffer is dropped, the first with a line, until
        // the next dictation (reset) says it again.
        const auto broken = makeAudioFormat(0, 1, SampleType::float32, true);
        const QString line =
            QStringLiteral("[Mirvo/Audio] PCMAccumulator: could not create converter from "
                           "<AudioFormat 1 ch, 0 Hz, Float32, interleaved> → "
                           "<AudioFormat 1 ch, 16000 Hz, Int16, interleaved>");
        for (int dictation = 1; dictation <= 2; ++dictation) {
            accumulator.reset();
            for (int i = 0; i < 3; ++i)
                accumulator.append(constant(broken, 16, [](auto, auto) { return 0.f; }));
            QCOMPARE(logs.count(line), dictation);
            QCOMPARE(accumulator.droppedBufferCount(), size_t(3));
        }
        // A good buffer afterwards converts normally.
        const auto good = makeAudioFormat(16000, 1, SampleType::float32, true);
        accumulator.append(constant(good, 160, [](auto, auto) { return 0.25f; }));
        QCOMPARE(samplesOf(accumulator.makeWAV()), std::vector<int16_t>(160, 8192));
    }

    void theFileRecorderDeliversTheWholeFileOnceAfterFiftyMilliseconds() {
        QTemporaryDir dir;
        const QString path = dir.filePath("speech.wav");
        QVERIFY(writeFile(path, WAVEncoder::encode(std::vector<int16_t>(8000, 1000), 16000, 1)));
        FileAudioRecorder recorder(path, &SndFileAudioFile::open);
        int buffers = 0;
        uint32_t frames = 0;
        QList<float> levels;
        recorder.onBuffer = [&](const AudioBufferPtr& b) {
            ++buffers;
            frames += b->frameLength();
            QVERIFY(QThread::currentThread() == thread());
        };
        recorder.onRMS = [&](float level) { levels.append(level); };
        QElapsedTimer clock;
        clock.start();
        recorder.start();
        QCOMPARE(buffers, 0); // never synchronously
        QTRY_COMPARE(buffers, 1);
        QVERIFY(clock.elapsed() >= 45);
        QCOMPARE(frames, 8000u);
        QCOMPARE(levels, QList<float>{0.6f});
        // Stopped within 50 ms, or destroyed first: nothing at all arrives.
        recorder.start();
        recorder.stop();
        {
            FileAudioRecorder doomed(path, &SndFileAudioFile::open);
            doomed.onBuffer = recorder.onBuffer;
            doomed.onRMS = recorder.onRMS;
            doomed.start();
        }
        QTest::qWait(150);
        QCOMPARE(buffers, 1);
        recorder.start(); // each start delivers again
        QTRY_COMPARE(buffers, 2);

        // Bad files say which file; one too large to hold says so.
        const QString garbage = dir.filePath("garbage.wav");
        QVERIFY(writeFile(garbage, QByteArray("RIFF\x10\0\0\0WAVEnot audio", 20)));
        for (const QString& bad : {dir.filePath("missing.wav"), garbage, dir.path()}) {
            try {
                FileAudioRecorder(bad, &SndFileAudioFile::open).start();
                QFAIL(qPrintable("no error for " + bad));
            } catch (const MirvoError& e) {
                QVERIFY(e.is(MirvoError::Kind::audioFileUnreadable));
                QVERIFY(e.reason().contains(bad));
            }
        }
        for (int64_t length : {int64_t(4'000'000'000), int64_t(1) << 33}) {
            FileAudioRecorder huge("/huge.wav", [length](const QString&) {
                return std::make_unique<EndlessFile>(length);
            });
            QVERIFY_THROWS_EXCEPTION(MirvoError, huge.start());
        }
    }

    void theMicrophoneSurvivesTheSoundServerDying() {
        auto server = std::make_unique<PulseAudioServer>();
        QVERIFY2(server->start(), qPrintable(server->error()));
        AVEngineAudioRecorder recorder(std::make_unique<PulseAudioEngine>());
        std::atomic<int> buffers{0};
        std::atomic<bool> wrongSize{false}, onMainThread{false};
        QThread* mainThread = QThread::currentThread();
        recorder.onBuffer = [&](const AudioBufferPtr& b) {
            ++buffers;
            wrongSize = wrongSize || b->frameLength() != 1024 || !b->floatChannel(0);
            onMainThread = onMainThread || QThread::currentThread() == mainThread;
        };
        recorder.onRMS = [](float) {};
        const auto recordsAgain = [&] {
            buffers = 0;
            recorder.start();
            return QTest::qWaitFor([&] { return buffers >= 5; }, 10000);
        };

        // The daemon dies in the middle of a dictation: the key-up still ends it at once, and
        // a dictation meanwhile says there is no microphone.
        QVERIFY(recordsAgain());
        server.reset();
        QTest::qWait(300);
        QElapsedTimer stopping;
        stopping.start();
        recorder.stop();
        QVERIFY(stopping.elapsed() < 1000);
        expectNoMicrophone(recorder);

        // It comes back: the next dictation records, without a new recorder.
        server = std::make_unique<PulseAudioServer>();
        QVERIFY2(server->start(), qPrintable(server->error()));
        QVERIFY(recordsAgain());
        recorder.stop();
        QVERIFY(!wrongSize && !onMainThread); // capture-sized buffers, from the capture thread
    }

    // Other sounds go down to a fraction while the user dictates and come back after, but for a
    // stream that ended meanwhile.
    void otherSoundsAreLoweredAndRestored() {
        PulseAudioServer server;
        QVERIFY2(server.start(), qPrintable(server.error()));
        Subprocess video, ending;
        for (Subprocess* stream : {&video, &ending})
            QVERIFY(stream->start("pacat", {"--playback"}, {}, "/dev/zero"));
        QTemporaryDir dir;
        const QString listing = dir.filePath("sink-inputs");
        // The volume of every playback stream, as the server reports it.
        const auto volumes = [&] {
            QStringList found;
            QFile::remove(listing);
            if (Subprocess::run("pactl", {"list", "sink-inputs"}, 5000, listing))
                for (const QByteArray& line : readFile(listing).split('\n'))
                    if (line.trimmed().startsWith("Volume:"))
                        found.append(QString::fromUtf8(line).section('/', 1, 1).trimmed());
            return found;
        };
        QTRY_COMPARE(volumes().size(), 3); // the speaker's keep-alive, and the two
        PulseOtherSounds sounds;
        sounds.lower(0.25);
        QTRY_COMPARE(volumes(), QStringList(3, "25%"));
        ending.stop();
        QTRY_COMPARE(volumes().size(), 2);
        LogCapture logs;
        sounds.restore();
        QTRY_COMPARE(volumes(), QStringList(2, "100%"));
        QTRY_VERIFY(logs.contains("[Mirvo] other sounds back to their volume"));
    }

    void noServerOrNoSourceMeansNoMicrophone() {
        {
            ScopedVariable nowhere("PULSE_SERVER", "unix:/nonexistent/mirvo/pulse.sock");
            AVEngineAudioRecorder recorder(std::make_unique<PulseAudioEngine>());
            QElapsedTimer clock;
            clock.start();
            expectNoMicrophone(recorder);
            QVERIFY(clock.elapsed() < 3000);
        }
        PulseAudioServer noDevices(false);
        QVERIFY2(noDevices.start(), qPrintable(noDevices.error()));
        AVEngineAudioRecorder recorder(std::make_unique<PulseAudioEngine>());
        expectNoMicrophone(recorder);
    }
};

QTEST_GUILESS_MAIN(AudioTest)
#include "AudioTest.moc"
