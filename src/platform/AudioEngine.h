#pragma once

#include "common/AudioBuffer.h"

#include <functional>

// The microphone: the default input device, captured on a thread of the engine's own.
class AudioEngine {
public:
    using TapBlock = std::function<void(const AudioBufferPtr& buffer)>;

    virtual ~AudioEngine() = default;
    // Installs the block that receives every captured buffer of `bufferSize` frames, in the
    // device's native format, on the capture thread. Call only while stopped.
    virtual void installTap(uint32_t bufferSize, TapBlock block) = 0;
    // Call only while stopped.
    virtual void removeTap() = 0;
    // Begins capturing. Throws MirvoError (domain "com.apple.coreaudio.avfaudio",
    // code -10868) when there is no sound server or no input device.
    virtual void start() = 0;
    // Ends capturing promptly; no tap call runs after it returns. Safe when not running.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
};
