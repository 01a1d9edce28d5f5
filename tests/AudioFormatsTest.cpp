#include "mirvo/PCMAccumulator.h"
#include "mirvo/WAVEncoder.h"
#include "support/LogCapture.h"
#include "support/Signals.h"

#include <QTest>

namespace {

uint32_t u32At(const QByteArray& b, int at) {
    return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 |
           uint32_t(uint8_t(b[at + 2])) << 16 | uint32_t(uint8_t(b[at + 3])) << 24;
}

uint16_t u16At(const QByteArray& b, int at) {
    return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8);
}

std::vector<int16_t> samplesOf(const PCMAccumulator& accumulator) {
    const QByteArray wav = accumulator.makeWAV();
    std::vector<int16_t> out(size_t(wav.size() - 44) / 2);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = int16_t(u16At(wav, int(44 + 2 * i)));
    return out;
}

} // namespace

class AudioFormatsTest : public QObject {
    Q_OBJECT

private slots:
    void wavImagesAreByteExact() {
        const std::vector<int16_t> eightThousand(8000, 0);
        const QByteArray wav = WAVEncoder::encode(eightThousand, 16000, 1);
        QCOMPARE(wav.size(), 16044);
        QCOMPARE(wav.left(4), QByteArray("RIFF"));
        QCOMPARE(u32At(wav, 4), 16036u);
        QCOMPARE(wav.mid(8, 8), QByteArray("WAVEfmt "));
        QCOMPARE(u32At(wav, 16), 16u);
        QCOMPARE(u16At(wav, 20), 1);
        QCOMPARE(u16At(wav, 22), 1);
        QCOMPARE(u32At(wav, 24), 16000u);
        QCOMPARE(u32At(wav, 28), 32000u);
        QCOMPARE(u16At(wav, 32), 2);
        QCOMPARE(u16At(wav, 34), 16);
        QCOMPARE(wav.mid(36, 4), QByteArray("data"));
        QCOMPARE(u32At(wav, 40), 16000u);

        const std::vector<int16_t> some = {-2, 1, 32767, -32768};
        const QByteArray small = WAVEncoder::encode(some, 16000, 1);
        QCOMPARE(small.mid(44), QByteArray::fromHex("feff0100ff7f0080"));

        // The encoder does not interpret samples; stereo only changes the rates in the header.
        const QByteArray stereo = WAVEncoder::encode(some, 44100, 2);
        QCOMPARE(u16At(stereo, 22), 2);
        QCOMPARE(u32At(stereo, 28), 44100u * 4);
        QCOMPARE(u16At(stereo, 32), 4);
        QCOMPARE(u32At(stereo, 40), 8u);
        // A byte rate that fits although rate × channels × 16 does not fit 32 bits.
        QCOMPARE(u32At(WAVEncoder::encode({}, 192000, 2000), 28), 768000000u);
    }

    void accumulatorResetKeepsNothingButCapacity() {
        PCMAccumulator accumulator;
        QCOMPARE(accumulator.makeWAV().size(), 44);
        const auto format = makeSpeechFormat();
        for (const auto& b : Signals::buffers(
                 format, 1.0, 1024, [](double t, int) { return Signals::sine(t, 300, 0.5); }))
            accumulator.append(b);
        QCOMPARE(accumulator.sampleCount(), size_t(16000));
        accumulator.reset();
        QCOMPARE(accumulator.sampleCount(), size_t(0));
        const QByteArray empty = accumulator.makeWAV();
        QCOMPARE(empty.size(), 44);
        QCOMPARE(u32At(empty, 4), 36u);
        QCOMPARE(u32At(empty, 40), 0u);
    }

    void sixteenKilohertzMonoPassesThroughUnchanged() {
        PCMAccumulator accumulator;
        const auto format = makeSpeechFormat();
        std::vector<int16_t> expected;
        uint32_t seed = 1;
        for (int n = 0; n < 5; ++n) {
            AudioBufferPtr b = AudioBuffer::make(format, 1000);
            for (int i = 0; i < 1000; ++i) {
                seed = seed * 1103515245u + 12345u;
                b->int16Channel(0)[i] = int16_t(seed >> 16);
                expected.push_back(b->int16Channel(0)[i]);
            }
            b->setFrameLength(1000);
            accumulator.append(b);
        }
        QVERIFY(samplesOf(accumulator) == expected);
    }

    void resamplesAndMixesDownKeepingPitchAndLevel_data() {
        QTest::addColumn<double>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("sampleType");
        QTest::addColumn<bool>("interleaved");
        QTest::addColumn<bool>("rightSilent");
        QTest::addColumn<double>("expectedRms");
        const double full = 0.5 * 32768 / std::sqrt(2.0);
        QTest::newRow("48 kHz stereo float")
            << 48000.0 << 2 << int(SampleType::float32) << false << false << full;
        QTest::newRow("48 kHz stereo float, right silent")
            << 48000.0 << 2 << int(SampleType::float32) << true << true << full / 2;
        QTest::newRow("44.1 kHz mono int16")
            << 44100.0 << 1 << int(SampleType::int16) << true << false << full;
        QTest::newRow("8 kHz mono float")
            << 8000.0 << 1 << int(SampleType::float32) << true << false << full;
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
        const double seconds = 2.0;
        for (const auto& b : Signals::buffers(format, seconds, 1024, [&](double t, int c) {
                 return c == 1 && rightSilent ? 0.0f : Signals::sine(t, 440, 0.5);
             }))
            accumulator.append(b);

        // The resampler's filter delay stays inside it (the stream is never ended).
        const size_t n = accumulator.sampleCount();
        QVERIFY2(n <= size_t(16000 * seconds) && n >= size_t(16000 * seconds) - 600,
                 qPrintable(QString::number(n)));
        const std::vector<int16_t> s = samplesOf(accumulator);
        QVERIFY(qAbs(Signals::frequency(s, 2000, n - 100, 16000) - 440) < 1.0);
        const double level = Signals::rms(s, 2000, n - 100);
        QVERIFY2(qAbs(level - expectedRms) < expectedRms * 0.02,
                 qPrintable(QString::number(level)));
        QVERIFY(logs.lines().isEmpty());
    }

    void converterIsReusedOnlyForTheSameFormatObject() {
        const auto tone = [](double t, int) { return Signals::sine(t, 440, 0.5); };
        const auto format = makeAudioFormat(48000, 1, SampleType::float32, false);
        const auto blocks = Signals::buffers(format, 0.2, 4800, tone);

        // Same object: one continuous stream; the resampler's start-up cost is paid once.
        PCMAccumulator same;
        same.append(blocks[0]);
        const size_t firstOnly = same.sampleCount();
        for (int i = 1; i < 6; ++i)
            same.append(blocks[size_t(i) % blocks.size()]);

        // Equal but distinct format objects: every buffer gets a fresh converter and pays it.
        PCMAccumulator fresh;
        const auto twin = makeAudioFormat(48000, 1, SampleType::float32, false);
        const auto twinBlock = Signals::buffers(twin, 0.1, 4800, tone)[0];
        for (int i = 0; i < 6; ++i)
            fresh.append(i % 2 ? twinBlock : blocks[0]);
        QVERIFY(firstOnly < 1600);
        QCOMPARE(fresh.sampleCount(), 6 * firstOnly);
        QVERIFY(same.sampleCount() > 6 * firstOnly);
    }

    void unusableInputIsLoggedAndDropped() {
        LogCapture logs;
        PCMAccumulator accumulator;
        // No frames: nothing appended, nothing logged.
        accumulator.append(
            AudioBuffer::make(makeAudioFormat(48000, 2, SampleType::float32, false), 0));
        QCOMPARE(accumulator.sampleCount(), size_t(0));
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
            for (int i = 0; i < 3; ++i) {
                auto b = AudioBuffer::make(broken, 16);
                b->setFrameLength(16);
                accumulator.append(b);
            }
            QCOMPARE(logs.count(line), dictation);
            QCOMPARE(accumulator.droppedBufferCount(), size_t(3));
        }
        QCOMPARE(accumulator.sampleCount(), size_t(0));

        // A good buffer afterwards converts normally.
        const auto good = makeAudioFormat(16000, 1, SampleType::float32, true);
        accumulator.append(Signals::buffers(good, 0.01, 160, [](double, int) { return 0.25f; })[0]);
        QCOMPARE(accumulator.sampleCount(), size_t(160));
        QCOMPARE(samplesOf(accumulator)[0], int16_t(8192));
    }
};

QTEST_GUILESS_MAIN(AudioFormatsTest)
#include "AudioFormatsTest.moc"
