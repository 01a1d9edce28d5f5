#pragma once

#include "common/AudioBuffer.h"

#include <cmath>
#include <functional>
#include <vector>

// Test signals cut into capture-sized buffers.
namespace Signals {

// `seconds` of f(t) (t in seconds, one value for every channel) as buffers of `frames` frames.
inline std::vector<AudioBufferPtr> buffers(const AudioFormatPtr& format, double seconds,
                                           uint32_t frames,
                                           const std::function<float(double t, int channel)>& f) {
    std::vector<AudioBufferPtr> out;
    const auto total = uint64_t(std::llround(seconds * format->sampleRate));
    for (uint64_t start = 0; start < total; start += frames) {
        const auto n = uint32_t(std::min<uint64_t>(frames, total - start));
        AudioBufferPtr b = AudioBuffer::make(format, n);
        for (int c = 0; c < format->channelCount; ++c) {
            for (uint32_t i = 0; i < n; ++i) {
                const float v = f(double(start + i) / format->sampleRate, c);
                const size_t at = size_t(i) * size_t(b->stride());
                if (float* p = b->floatChannel(c))
                    p[at] = v;
                else
                    b->int16Channel(c)[at] = int16_t(std::lrint(v * 32767.0));
            }
        }
        b->setFrameLength(n);
        out.push_back(b);
    }
    return out;
}

inline float sine(double t, double hz, double amplitude) {
    return float(amplitude * std::sin(2 * M_PI * hz * t));
}

// Frequency estimated from rising zero crossings of samples[from, to).
inline double frequency(const std::vector<int16_t>& s, size_t from, size_t to, double rate) {
    size_t first = 0, last = 0;
    int crossings = 0;
    for (size_t i = from + 1; i < to; ++i) {
        if (s[i - 1] < 0 && s[i] >= 0) {
            if (crossings == 0)
                first = i;
            last = i;
            ++crossings;
        }
    }
    return crossings > 1 ? (crossings - 1) * rate / double(last - first) : 0;
}

inline double rms(const std::vector<int16_t>& s, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += double(s[i]) * double(s[i]);
    return std::sqrt(sum / double(to - from));
}

} // namespace Signals
