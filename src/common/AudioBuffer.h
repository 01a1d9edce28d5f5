#pragma once

#include <QString>

#include <cstdint>
#include <memory>

enum class SampleType { float32, int16 };

// The layout of PCM audio. Shared and immutable: code that needs "the very same format" compares
// the pointers, not the values.
struct AudioFormat {
    double sampleRate = 0;
    int channelCount = 0;
    SampleType sampleType = SampleType::float32;
    bool interleaved = false;

    bool operator==(const AudioFormat&) const = default;
    // e.g. "<AudioFormat 0x55d0c: 2 ch, 48000 Hz, Float32, deinterleaved>"
    QString description() const;
};

using AudioFormatPtr = std::shared_ptr<const AudioFormat>;

AudioFormatPtr makeAudioFormat(double sampleRate, int channelCount, SampleType sampleType,
                               bool interleaved);

// The rate of the working format that speech is recognised and uploaded in.
inline constexpr int speechSampleRate = 16000;
// The working format: 16 kHz, one channel, signed 16-bit samples.
AudioFormatPtr makeSpeechFormat();

// A block of PCM frames in one format. Channel data is one allocation: channel c starts at
// channel(c) and its samples are `stride()` apart (1 when deinterleaved, channelCount when
// interleaved).
class AudioBuffer final {
public:
    // Returns null when the format has no channels or the memory cannot be allocated.
    static std::shared_ptr<AudioBuffer> make(AudioFormatPtr format, uint32_t frameCapacity);

    const AudioFormatPtr& format() const { return format_; }
    uint32_t frameCapacity() const { return frameCapacity_; }
    uint32_t frameLength() const { return frameLength_; }
    // Clamped to the capacity.
    void setFrameLength(uint32_t frames);

    int stride() const { return format_->interleaved ? format_->channelCount : 1; }
    // Null unless the samples are 32-bit float.
    float* floatChannel(int channel);
    const float* floatChannel(int channel) const;
    // Null unless the samples are signed 16-bit.
    int16_t* int16Channel(int channel);
    const int16_t* int16Channel(int channel) const;

private:
    AudioBuffer(AudioFormatPtr format, uint32_t frameCapacity, std::unique_ptr<float[]> floats,
                std::unique_ptr<int16_t[]> ints);
    size_t channelOffset(int channel) const;

    AudioFormatPtr format_;
    uint32_t frameCapacity_;
    uint32_t frameLength_ = 0;
    std::unique_ptr<float[]> floats_;
    std::unique_ptr<int16_t[]> ints_;
};

using AudioBufferPtr = std::shared_ptr<AudioBuffer>;
