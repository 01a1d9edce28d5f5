#include "Figures.h"
#include "common/MainThread.h"
#include "core/AudioRecorder.h"
#include "core/PCMAccumulator.h"
#include "core/WAVEncoder.h"
#include "platform/AudioEngine.h"

#include <QCoreApplication>

#include <cmath>
#include <cstring>
#include <mutex>

namespace {

std::vector<float> stereoSpeechLike(uint32_t frames) {
    std::vector<float> s(size_t(frames) * 2);
    for (uint32_t i = 0; i < frames; ++i) {
        const double t = i / 48000.0;
        s[2 * i] = s[2 * i + 1] =
            float(0.3 * std::sin(2 * M_PI * 180 * t) + 0.1 * std::sin(2 * M_PI * 2300 * t));
    }
    return s;
}

// A fresh buffer per call, as the capture thread hands over.
AudioBufferPtr capturedBuffer(const AudioFormatPtr& format, const std::vector<float>& interleaved) {
    const auto frames = uint32_t(interleaved.size() / format->channelCount);
    auto buffer = AudioBuffer::make(format, frames);
    std::memcpy(buffer->floatChannel(0), interleaved.data(), interleaved.size() * sizeof(float));
    buffer->setFrameLength(frames);
    return buffer;
}

// PCMAccumulator.append on 48 kHz stereo float in capture-sized buffers: times real time.
void pcmAppend(benchmark::State& state) {
    const auto format = makeAudioFormat(48000, 2, SampleType::float32, true);
    const std::vector<float> source = stereoSpeechLike(1024);
    PCMAccumulator accumulator;
    double audioSeconds = 0;
    for (auto _ : state) {
        accumulator.append(capturedBuffer(format, source));
        audioSeconds += 1024 / 48000.0;
        if (accumulator.sampleCount() > speechSampleRate * 600)
            accumulator.reset();
    }
    state.counters["pcm_append_x_realtime x"] =
        benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
}
BENCHMARK(pcmAppend)->MinTime(2.0);

// WAVEncoder.encode on a 60-second recording.
void wavEncode(benchmark::State& state) {
    std::vector<int16_t> samples(speechSampleRate * 60);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = int16_t(i * 31);
    double bytes = 0;
    for (auto _ : state) {
        QByteArray wav = WAVEncoder::encode(samples, speechSampleRate, 1);
        benchmark::DoNotOptimize(wav.data());
        bytes += double(wav.size());
    }
    state.counters["wav_encode_mb_per_s MB/s"] =
        benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(wavEncode)->MinTime(1.0);

// Plays the capture thread of the microphone engine: one tap-sized buffer filled from the
// server's fragment and handed to the tap.
class BenchEngine final : public AudioEngine {
public:
    void installTap(uint32_t, TapBlock block) override { tap = std::move(block); }
    void removeTap() override { tap = nullptr; }
    void start() override {}
    void stop() override {}
    bool isRunning() const override { return false; }
    TapBlock tap;
};

// The capture thread's work per 1024-frame buffer: the buffer, the level, and the hand-off to
// the coordinator's callbacks (a locked hand-over to the transcriber, the level to the main
// thread).
void capture_callback_us(benchmark::State& state) {
    int argc = 1;
    char name[] = "bench";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    auto engine = std::make_unique<BenchEngine>();
    BenchEngine& tapSource = *engine;
    AVEngineAudioRecorder recorder(std::move(engine));
    std::mutex activeLock;
    AudioBufferPtr handedOver;
    float lastLevel = 0;
    recorder.onBuffer = [&](const AudioBufferPtr& b) {
        std::lock_guard lock(activeLock);
        handedOver = b;
    };
    recorder.onRMS = [&](float level) { runOnMain([&lastLevel, level] { lastLevel = level; }); };
    recorder.start();
    const auto format = makeAudioFormat(48000, 2, SampleType::float32, true);
    const std::vector<float> fragment = stereoSpeechLike(1024);
    int n = 0;
    for (auto _ : state) {
        tapSource.tap(capturedBuffer(format, fragment));
        if (++n % 256 == 0) {
            state.PauseTiming();
            QCoreApplication::processEvents(); // the main thread drains the levels
            state.ResumeTiming();
        }
    }
    recorder.stop();
    benchmark::DoNotOptimize(lastLevel);
}
BENCHMARK(capture_callback_us)->MinTime(1.0);

} // namespace

MIRVO_FIGURES_MAIN()
