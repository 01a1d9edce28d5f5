#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/AudioEngine.h"

#include <QByteArray>
#include <QString>

#include <pulse/sample.h>
#include <sys/time.h>

#include <atomic>
#include <mutex>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;

// Captures the default PulseAudio source (also PipeWire's Pulse server) as float samples at the
// source's own rate and channel count. The capture thread is PulseAudio's threaded main loop;
// the tap runs there with the main loop's lock held, so stop() cannot overlap a tap call.
// start(), stop() and the tap setters are called from one thread (the main thread).
class PulseAudioEngine final : public AudioEngine {
public:
    // `timeoutMs` bounds the wait for the server in start(), which can hang on headless machines.
    explicit PulseAudioEngine(int timeoutMs = 3000);
    ~PulseAudioEngine() override;

    void installTap(uint32_t bufferSize, TapBlock block) override;
    void removeTap() override;
    void start() override;
    void stop() override;
    bool isRunning() const override { return running_; }

    // Why no default source can be captured (no server, a server that does not answer within
    // `timeoutMs`, no default source), or empty when one can. Blocks; any thread.
    static QString defaultSourceProblem(int timeoutMs);

private:
    struct DefaultSource {
        QByteArray name;
        pa_sample_spec sampleFormat = {};
    };

    // Starts the main loop and finds the default source; returns with the main loop locked.
    DefaultSource openDefaultSourceLocked();
    // The steps of start(), with the main loop locked; each throws through failStart().
    void connectContextLocked();
    DefaultSource queryDefaultSourceLocked();
    void connectStreamLocked(const QByteArray& sourceName, const pa_sample_spec& native);
    // Unlocks the main loop, tears down and throws MirvoError::Kind::noMicrophone.
    [[noreturn]] void failStart(const QString& reason);
    // Waits on the main loop (lock held) until `done` or the deadline; false on timeout.
    template <typename Done> bool waitLocked(Done done);
    void tearDown();
    void onReadable();
    static void onContextState(pa_context* context, void* self);
    static void onStreamState(pa_stream* stream, void* self);
    static void onStreamRead(pa_stream* stream, size_t bytes, void* self);

    const int timeoutMs_;
    timeval deadline_ = {};
    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    std::atomic<bool> running_{false};

    std::mutex tapLock_;
    TapBlock tap_;
    uint32_t tapFrames_ = 1024;

    // Capture thread only, while running.
    AudioFormatPtr format_;
    AudioBufferPtr filling_;
};
