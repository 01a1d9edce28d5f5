#include "AudioBuffer.h"

#include <new>

QString AudioFormat::description() const {
    return QStringLiteral("<AudioFormat %1 ch, %2 Hz, %3, %4>")
        .arg(QString::number(channelCount), QString::number(sampleRate),
             sampleType == SampleType::float32 ? QStringLiteral("Float32")
                                               : QStringLiteral("Int16"),
             interleaved ? QStringLiteral("interleaved") : QStringLiteral("deinterleaved"));
}

AudioFormatPtr makeAudioFormat(double sampleRate, int channelCount, SampleType sampleType,
                               bool interleaved) {
    return std::make_shared<const AudioFormat>(
        AudioFormat{sampleRate, channelCount, sampleType, interleaved});
}

AudioFormatPtr makeSpeechFormat() {
    return makeAudioFormat(speechSampleRate, 1, SampleType::int16, true);
}

AudioBuffer::AudioBuffer(AudioFormatPtr format, uint32_t frameCapacity,
                         std::unique_ptr<float[]> floats, std::unique_ptr<int16_t[]> ints)
    : format_(std::move(format)), frameCapacity_(frameCapacity), floats_(std::move(floats)),
      ints_(std::move(ints)) {}

std::shared_ptr<AudioBuffer> AudioBuffer::make(AudioFormatPtr format, uint32_t frameCapacity) {
    if (!format || format->channelCount < 1)
        return nullptr;
    const size_t count = size_t(frameCapacity) * size_t(format->channelCount);
    std::unique_ptr<float[]> floats;
    std::unique_ptr<int16_t[]> ints;
    if (format->sampleType == SampleType::float32) {
        floats.reset(new (std::nothrow) float[count ? count : 1]());
        if (!floats)
            return nullptr;
    } else {
        ints.reset(new (std::nothrow) int16_t[count ? count : 1]());
        if (!ints)
            return nullptr;
    }
    return std::shared_ptr<AudioBuffer>(
        new AudioBuffer(std::move(format), frameCapacity, std::move(floats), std::move(ints)));
}

void AudioBuffer::setFrameLength(uint32_t frames) {
    frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_;
}

size_t AudioBuffer::channelOffset(int channel) const {
    return format_->interleaved ? size_t(channel) : size_t(channel) * frameCapacity_;
}

float* AudioBuffer::floatChannel(int channel) {
    return floats_ ? floats_.get() + channelOffset(channel) : nullptr;
}

const float* AudioBuffer::floatChannel(int channel) const {
    return floats_ ? floats_.get() + channelOffset(channel) : nullptr;
}

int16_t* AudioBuffer::int16Channel(int channel) {
    return ints_ ? ints_.get() + channelOffset(channel) : nullptr;
}

const int16_t* AudioBuffer::int16Channel(int channel) const {
    return ints_ ? ints_.get() + channelOffset(channel) : nullptr;
}
