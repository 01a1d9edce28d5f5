#pragma once

#include "platform/AudioEngine.h"

#include <exception>

// Records what the recorder asks of the engine; capture() plays the capture thread.
class FakeAudioEngine final : public AudioEngine {
public:
    void installTap(uint32_t bufferSize, TapBlock block) override {
        ++tapsInstalled;
        tapBufferSize = bufferSize;
        tap = std::move(block);
    }
    void removeTap() override {
        ++tapsRemoved;
        tap = nullptr;
    }
    void start() override {
        ++starts;
        if (startError)
            std::rethrow_exception(startError);
        running = true;
    }
    void stop() override {
        ++stops;
        running = false;
    }
    bool isRunning() const override { return running; }

    void capture(const AudioBufferPtr& buffer) {
        if (tap)
            tap(buffer);
    }

    TapBlock tap;
    uint32_t tapBufferSize = 0;
    int tapsInstalled = 0;
    int tapsRemoved = 0;
    int starts = 0;
    int stops = 0;
    bool running = false;
    std::exception_ptr startError;
};
