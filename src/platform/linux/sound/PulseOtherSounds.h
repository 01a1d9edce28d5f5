#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/MediaPlayers.h"

#include <QThreadPool>

#include <pulse/volume.h>

#include <cstdint>
#include <map>
#include <memory>

// The playback streams on the PulseAudio server (PipeWire's Pulse server too). The server is
// asked on a thread of Mirvo's own, one request after another, each bounded in time: a lower()
// is done before the restore() that follows it starts.
class PulseOtherSounds final : public OtherSounds {
public:
    PulseOtherSounds();
    ~PulseOtherSounds() override;
    void lower(double fraction) override;
    void restore() override;

private:
    // Stream index → the volume it had; written and read on the pool's one thread.
    using Volumes = std::map<uint32_t, pa_cvolume>;
    QThreadPool pool_;
    std::shared_ptr<Volumes> lowered_;
};
