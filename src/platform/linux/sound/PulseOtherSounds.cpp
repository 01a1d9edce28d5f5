#include "PulseOtherSounds.h"

#include "common/Log.h"

#include <QDeadlineTimer>

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

#include <vector>

namespace {

constexpr int serverWaitMs = 1000;

// One connection to the server, driven on the calling thread; every wait is bounded.
class PulseConnection {
public:
    PulseConnection() : loop_(pa_mainloop_new()) {
        context_ = pa_context_new(pa_mainloop_get_api(loop_), "Mirvo");
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            return;
        while (iterate()) {
            const pa_context_state_t state = pa_context_get_state(context_);
            if (state == PA_CONTEXT_READY)
                ready_ = true;
            if (state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state))
                break;
        }
    }
    ~PulseConnection() {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        pa_mainloop_free(loop_);
    }
    // Whether the server answered; when not, says that `action` cannot be done.
    bool ready(const char* action) const {
        if (!ready_)
            mirvoLog(QStringLiteral("[Mirvo] cannot %1: the sound server did not answer")
                         .arg(QLatin1String(action)),
                     LogLevel::warning);
        return ready_;
    }
    pa_context* context() { return context_; }
    // Runs the server's answers to `operation` until it is done; false when the time is up.
    bool finish(pa_operation* operation) {
        if (!operation)
            return false;
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING && iterate()) {
        }
        const bool done = pa_operation_get_state(operation) == PA_OPERATION_DONE;
        pa_operation_unref(operation);
        return done;
    }

private:
    bool iterate() {
        const qint64 left = deadline_.remainingTime();
        if (left <= 0 || pa_mainloop_prepare(loop_, int(left) * 1000) < 0 ||
            pa_mainloop_poll(loop_) < 0)
            return false;
        return pa_mainloop_dispatch(loop_) >= 0;
    }

    pa_mainloop* const loop_;
    pa_context* context_ = nullptr;
    QDeadlineTimer deadline_{serverWaitMs};
    bool ready_ = false;
};

} // namespace

PulseOtherSounds::PulseOtherSounds() {
    pool_.setMaxThreadCount(1);
}

PulseOtherSounds::~PulseOtherSounds() {
    pool_.waitForDone();
}

void PulseOtherSounds::lower(double fraction) {
    restore();
    auto lowered = std::make_shared<Volumes>();
    lowered_ = lowered;
    pool_.start([lowered, fraction] {
        PulseConnection server;
        if (!server.ready("lower other sounds"))
            return;
        std::vector<std::pair<uint32_t, pa_cvolume>> streams;
        server.finish(pa_context_get_sink_input_info_list(
            server.context(),
            [](pa_context*, const pa_sink_input_info* info, int eol, void* data) {
                if (eol == 0 && info && info->has_volume && info->volume_writable)
                    static_cast<decltype(streams)*>(data)->emplace_back(info->index, info->volume);
            },
            &streams));
        for (const auto& [index, volume] : streams) {
            pa_cvolume quieter = volume;
            pa_cvolume_scale(&quieter, pa_volume_t(pa_cvolume_max(&volume) * fraction));
            if (server.finish(pa_context_set_sink_input_volume(server.context(), index, &quieter,
                                                               nullptr, nullptr)))
                lowered->emplace(index, volume);
        }
        mirvoLog(
            QStringLiteral("[Mirvo] lowered %1 other sounds while dictating").arg(lowered->size()));
    });
}

void PulseOtherSounds::restore() {
    const std::shared_ptr<Volumes> lowered = std::exchange(lowered_, nullptr);
    if (!lowered)
        return;
    pool_.start([lowered] {
        if (lowered->empty())
            return;
        PulseConnection server;
        if (!server.ready("give other sounds their volume back"))
            return;
        // A stream that has ended is no longer there to set.
        for (const auto& [index, volume] : *lowered)
            server.finish(pa_context_set_sink_input_volume(server.context(), index, &volume,
                                                           nullptr, nullptr));
        mirvoLog(QStringLiteral("[Mirvo] other sounds back to their volume"));
    });
}
