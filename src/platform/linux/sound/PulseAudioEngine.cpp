#include "PulseAudioEngine.h"

#include "common/MirvoError.h"

#include <pulse/pulseaudio.h>

#include <cstring>

PulseAudioEngine::PulseAudioEngine(int timeoutMs) : timeoutMs_(timeoutMs) {}

PulseAudioEngine::~PulseAudioEngine() {
    stop();
}

void PulseAudioEngine::installTap(uint32_t bufferSize, TapBlock block) {
    std::lock_guard lock(tapLock_);
    tapFrames_ = bufferSize ? bufferSize : 1024;
    tap_ = std::move(block);
}

void PulseAudioEngine::removeTap() {
    std::lock_guard lock(tapLock_);
    tap_ = nullptr;
}

template <typename Done> bool PulseAudioEngine::waitLocked(Done done) {
    struct Timer {
        bool fired = false;
        pa_threaded_mainloop* mainloop;
    } timer{false, mainloop_};
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop_);
    pa_time_event* event = api->time_new(
        api, &deadline_,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
            auto* t = static_cast<Timer*>(data);
            t->fired = true;
            pa_threaded_mainloop_signal(t->mainloop, 0);
        },
        &timer);
    while (!done() && !timer.fired)
        pa_threaded_mainloop_wait(mainloop_);
    api->time_free(event);
    return done();
}

void PulseAudioEngine::failStart(const QString& reason) {
    pa_threaded_mainloop_unlock(mainloop_);
    tearDown();
    throw MirvoError(MirvoError::Kind::noMicrophone, reason);
}

void PulseAudioEngine::start() {
    if (running_)
        return;
    const DefaultSource source = openDefaultSourceLocked();
    connectStreamLocked(source.name, source.sampleFormat);
    running_ = true;
    pa_threaded_mainloop_unlock(mainloop_);
}

QString PulseAudioEngine::defaultSourceProblem(int timeoutMs) {
    PulseAudioEngine probe(timeoutMs);
    try {
        probe.openDefaultSourceLocked();
    } catch (const MirvoError& e) {
        return e.reason();
    }
    pa_threaded_mainloop_unlock(probe.mainloop_);
    probe.tearDown();
    return QString();
}

PulseAudioEngine::DefaultSource PulseAudioEngine::openDefaultSourceLocked() {
    // One deadline for every wait, so a server that answers slowly at each step still cannot
    // hold the caller longer than the timeout.
    pa_timeval_add(pa_gettimeofday(&deadline_), pa_usec_t(timeoutMs_) * PA_USEC_PER_MSEC);
    mainloop_ = pa_threaded_mainloop_new();
    if (!mainloop_)
        throw MirvoError(MirvoError::Kind::noMicrophone,
                         QStringLiteral("cannot create the PulseAudio main loop"));
    pa_threaded_mainloop_set_name(mainloop_, "mirvo-capture");
    if (pa_threaded_mainloop_start(mainloop_) < 0) {
        tearDown();
        throw MirvoError(MirvoError::Kind::noMicrophone,
                         QStringLiteral("cannot start the PulseAudio main loop"));
    }
    pa_threaded_mainloop_lock(mainloop_);
    connectContextLocked();
    return queryDefaultSourceLocked();
}

void PulseAudioEngine::connectContextLocked() {
    context_ = pa_context_new(pa_threaded_mainloop_get_api(mainloop_), "Mirvo");
    if (!context_)
        failStart(QStringLiteral("cannot create a PulseAudio context"));
    pa_context_set_state_callback(context_, onContextState, this);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        failStart(QStringLiteral("no PulseAudio server: %1")
                      .arg(QString::fromUtf8(pa_strerror(pa_context_errno(context_)))));
    const bool settled = waitLocked([this] {
        const pa_context_state_t s = pa_context_get_state(context_);
        return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
    });
    if (!settled)
        failStart(QStringLiteral("the PulseAudio server did not answer"));
    if (pa_context_get_state(context_) != PA_CONTEXT_READY)
        failStart(QStringLiteral("no PulseAudio server: %1")
                      .arg(QString::fromUtf8(pa_strerror(pa_context_errno(context_)))));
}

PulseAudioEngine::DefaultSource PulseAudioEngine::queryDefaultSourceLocked() {
    struct Query {
        pa_threaded_mainloop* mainloop;
        bool done = false;
        bool found = false;
        DefaultSource source;
    } query{mainloop_, false, false, {}};
    pa_operation* op = pa_context_get_server_info(
        context_,
        [](pa_context*, const pa_server_info* info, void* data) {
            auto* q = static_cast<Query*>(data);
            if (info && info->default_source_name)
                q->source.name = info->default_source_name;
            q->done = true;
            pa_threaded_mainloop_signal(q->mainloop, 0);
        },
        &query);
    const bool gotServerInfo = op && waitLocked([&] { return query.done; });
    if (op)
        pa_operation_unref(op);
    if (!gotServerInfo)
        failStart(QStringLiteral("the PulseAudio server did not describe itself"));
    if (query.source.name.isEmpty())
        failStart(QStringLiteral("no input source"));

    query.done = false;
    op = pa_context_get_source_info_by_name(
        context_, query.source.name.constData(),
        [](pa_context*, const pa_source_info* info, int eol, void* data) {
            auto* q = static_cast<Query*>(data);
            if (info && !eol) {
                q->found = true;
                q->source.sampleFormat = info->sample_spec;
            }
            if (eol) {
                q->done = true;
                pa_threaded_mainloop_signal(q->mainloop, 0);
            }
        },
        &query);
    const bool gotSource = op && waitLocked([&] { return query.done; });
    if (op)
        pa_operation_unref(op);
    if (!gotSource || !query.found)
        failStart(QStringLiteral("no input source"));
    return query.source;
}

void PulseAudioEngine::connectStreamLocked(const QByteArray& sourceName,
                                           const pa_sample_spec& native) {
    const pa_sample_spec wanted = {PA_SAMPLE_FLOAT32NE, native.rate, native.channels};
    format_ = makeAudioFormat(double(wanted.rate), wanted.channels, SampleType::float32, true);
    filling_.reset();
    stream_ = pa_stream_new(context_, "Mirvo dictation", &wanted, nullptr);
    if (!stream_)
        failStart(QStringLiteral("cannot create a capture stream"));
    pa_stream_set_state_callback(stream_, onStreamState, this);
    pa_stream_set_read_callback(stream_, onStreamRead, this);
    uint32_t frames;
    {
        std::lock_guard lock(tapLock_);
        frames = tapFrames_;
    }
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr); // server defaults for everything but fragsize
    attr.fragsize = uint32_t(frames * pa_frame_size(&wanted));
    if (pa_stream_connect_record(stream_, sourceName.constData(), &attr, PA_STREAM_ADJUST_LATENCY) <
        0)
        failStart(QStringLiteral("cannot record from %1: %2")
                      .arg(QString::fromUtf8(sourceName),
                           QString::fromUtf8(pa_strerror(pa_context_errno(context_)))));
    const bool settled = waitLocked([this] {
        const pa_stream_state_t s = pa_stream_get_state(stream_);
        return s == PA_STREAM_READY || !PA_STREAM_IS_GOOD(s);
    });
    if (!settled || pa_stream_get_state(stream_) != PA_STREAM_READY)
        failStart(QStringLiteral("cannot record from %1").arg(QString::fromUtf8(sourceName)));
}

void PulseAudioEngine::stop() {
    tearDown();
}

void PulseAudioEngine::tearDown() {
    if (!mainloop_)
        return;
    pa_threaded_mainloop_lock(mainloop_);
    running_ = false;
    if (stream_) {
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
    pa_threaded_mainloop_unlock(mainloop_);
    pa_threaded_mainloop_stop(mainloop_);
    pa_threaded_mainloop_free(mainloop_);
    mainloop_ = nullptr;
    filling_.reset();
}

void PulseAudioEngine::onContextState(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseAudioEngine*>(self)->mainloop_, 0);
}

void PulseAudioEngine::onStreamState(pa_stream*, void* self) {
    pa_threaded_mainloop_signal(static_cast<PulseAudioEngine*>(self)->mainloop_, 0);
}

void PulseAudioEngine::onStreamRead(pa_stream*, size_t, void* self) {
    static_cast<PulseAudioEngine*>(self)->onReadable();
}

// Capture thread, main loop lock held: regroup whatever the server sends into tap-sized buffers.
void PulseAudioEngine::onReadable() {
    const size_t channels = size_t(format_->channelCount);
    const size_t frameBytes = channels * sizeof(float);
    for (;;) {
        const void* data = nullptr;
        size_t bytes = 0;
        if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0)
            return;
        const size_t frames = bytes / frameBytes;
        for (size_t done = 0; done < frames;) {
            std::unique_lock lock(tapLock_);
            if (!filling_)
                filling_ = AudioBuffer::make(format_, tapFrames_);
            if (!filling_)
                break; // out of memory: drop this fragment
            const size_t room = filling_->frameCapacity() - filling_->frameLength();
            const size_t take = std::min(room, frames - done);
            float* into = filling_->floatChannel(0) + size_t(filling_->frameLength()) * channels;
            if (data)
                std::memcpy(into, static_cast<const char*>(data) + done * frameBytes,
                            take * frameBytes);
            else
                std::memset(into, 0, take * frameBytes); // a hole in the stream: silence
            filling_->setFrameLength(filling_->frameLength() + uint32_t(take));
            done += take;
            if (filling_->frameLength() == filling_->frameCapacity()) {
                AudioBufferPtr full = std::move(filling_);
                filling_.reset();
                if (tap_)
                    tap_(full);
            }
        }
        pa_stream_drop(stream_);
    }
}
