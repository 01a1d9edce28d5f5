#pragma once

#include "common/AudioBuffer.h"
#include "common/AudioConverter.h"

#include <QByteArray>

#include <memory>
#include <mutex>
#include <vector>

// Collects one dictation as 16 kHz mono signed 16-bit samples, whatever format the buffers
// arrive in. append() runs on the capture thread; the rest on the main thread or a finishing
// task. One lock serialises them all.
class PCMAccumulator final {
public:
    PCMAccumulator();

    // Converts and appends one buffer. Never throws; a failure drops the buffer and is logged,
    // once until the next reset().
    void append(const AudioBufferPtr& buffer);
    // Drops every sample but keeps the store's capacity and the converter.
    void reset();
    // Buffers dropped since the last reset().
    size_t droppedBufferCount() const;
    size_t sampleCount() const;
    // Whether the level rose above the recording's noise floor at some moment: a stretch of
    // 30 ms at least 16 dB louder than the quietest one and above -45 dBFS.
    bool roseAboveNoiseFloor() const;
    // The recording as a WAV file image (16000 Hz, one channel).
    QByteArray makeWAV() const;

private:
    void dropLocked(const QString& line);

    const AudioFormatPtr targetFormat_;
    std::unique_ptr<AudioConverter> converter_;
    AudioFormatPtr lastInputFormat_;
    std::vector<int16_t> samples_;
    size_t dropped_ = 0;
    mutable std::mutex lock_;
};
