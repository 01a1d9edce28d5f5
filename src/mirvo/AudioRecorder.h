#pragma once

#include "platform/AudioBuffer.h"

#include <functional>

// A source of sound for one dictation at a time. The owner sets both callbacks before the first
// start() and never calls start() twice without stop() in between.
class AudioRecorder {
public:
    virtual ~AudioRecorder() = default;

    // Receives every captured buffer; called on the recorder's delivery thread.
    std::function<void(const AudioBufferPtr& buffer)> onBuffer;
    // Receives the level of every buffer; called on the recorder's delivery thread.
    std::function<void(float level)> onRMS;

    // Begins delivering buffers. Throws PlatformError when capture cannot start.
    virtual void start() = 0;
    // Stops delivering buffers; safe to call when not started.
    virtual void stop() = 0;
};
