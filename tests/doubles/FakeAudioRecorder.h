#pragma once

#include "mirvo/AudioRecorder.h"

#include <atomic>
#include <exception>

class FakeAudioRecorder final : public AudioRecorder {
public:
    void start() override {
        ++startCount;
        startedAt = ++sequence;
        if (startError)
            std::rethrow_exception(startError);
        running = true;
    }
    void stop() override {
        ++stopCount;
        running = false;
    }
    // Delivers as the capture thread would, from whichever thread calls it.
    void deliver(const AudioBufferPtr& buffer) {
        if (onBuffer)
            onBuffer(buffer);
    }
    void deliverLevel(float level) {
        if (onRMS)
            onRMS(level);
    }

    // Shared with the other doubles of a test to check call order.
    static inline std::atomic<int> sequence{0};

    std::atomic<int> startCount{0};
    std::atomic<int> stopCount{0};
    std::atomic<bool> running{false};
    int startedAt = 0;
    std::exception_ptr startError;
};
