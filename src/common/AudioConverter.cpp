#include "AudioConverter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace {

float sampleAt(const AudioBuffer& buffer, int channel, uint32_t frame) {
    const size_t index = size_t(frame) * size_t(buffer.stride());
    if (const float* f = buffer.floatChannel(channel))
        return f[index];
    return float(buffer.int16Channel(channel)[index]) / 32768.0f;
}

int16_t toInt16(float value) {
    const long scaled = std::lrint(double(value) * 32768.0);
    return int16_t(std::clamp(scaled, -32768L, 32767L));
}

bool usable(const AudioFormat& format) {
    return format.channelCount >= 1 && std::isfinite(format.sampleRate) && format.sampleRate >= 1;
}

} // namespace

AudioConverter::InputBlock AudioConverter::handOverOnce(AudioBufferPtr buffer) {
    return [buffer = std::move(buffer), given = false](InputStatus& status) mutable {
        status = given ? InputStatus::noDataNow : InputStatus::haveData;
        return std::exchange(given, true) ? AudioBufferPtr() : buffer;
    };
}

AudioConverter::InputBlock AudioConverter::endOfStream() {
    return [](InputStatus& status) {
        status = InputStatus::endOfStream;
        return AudioBufferPtr();
    };
}

std::unique_ptr<AudioConverter> AudioConverter::make(AudioFormatPtr from, AudioFormatPtr to) {
    if (!from || !to || !usable(*from) || !usable(*to))
        return nullptr;
    soxr_t resampler = nullptr;
    if (from->sampleRate != to->sampleRate) {
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        resampler = soxr_create(from->sampleRate, to->sampleRate, unsigned(to->channelCount),
                                &error, &io, &quality, &runtime);
        if (error || !resampler)
            return nullptr;
    }
    return std::unique_ptr<AudioConverter>(
        new AudioConverter(std::move(from), std::move(to), resampler));
}

AudioConverter::AudioConverter(AudioFormatPtr from, AudioFormatPtr to, soxr* resampler)
    : from_(std::move(from)), to_(std::move(to)), resampler_(resampler) {}

AudioConverter::~AudioConverter() {
    if (resampler_)
        soxr_delete(resampler_);
}

AudioConverter::OutputStatus AudioConverter::convert(AudioBuffer& output,
                                                     const InputBlock& inputBlock, QString& error) {
    if (output.format() != to_ && *output.format() != *to_) {
        error = QStringLiteral("output buffer is not in the converter's output format");
        return OutputStatus::error;
    }
    for (;;) {
        InputStatus status = InputStatus::noDataNow;
        AudioBufferPtr input = inputBlock(status);
        if (status == InputStatus::endOfStream) {
            flush(output);
            return OutputStatus::endOfStream;
        }
        if (status == InputStatus::noDataNow || !input)
            return OutputStatus::inputRanDry;
        if (*input->format() != *from_) {
            error = QStringLiteral("input buffer is not in the converter's input format");
            return OutputStatus::error;
        }
        if (!convertOne(*input, output, error))
            return OutputStatus::error;
        if (output.frameLength() >= output.frameCapacity())
            return OutputStatus::haveData;
    }
}

void AudioConverter::flush(AudioBuffer& output) {
    if (!resampler_)
        return;
    const int channels = to_->channelCount;
    const size_t room = output.frameCapacity() - output.frameLength();
    resampled_.resize(std::max<size_t>(room, 1) * size_t(channels));
    size_t produced = 0;
    // A null input tells soxr the stream has ended; it then releases what its filter holds.
    soxr_process(resampler_, nullptr, 0, nullptr, resampled_.data(), room, &produced);
    write(resampled_.data(), produced, output);
}

void AudioConverter::write(const float* source, size_t frames, AudioBuffer& output) {
    const int outChannels = to_->channelCount;
    const uint32_t base = output.frameLength();
    const int stride = output.stride();
    for (int c = 0; c < outChannels; ++c) {
        float* f = output.floatChannel(c);
        int16_t* i = output.int16Channel(c);
        for (size_t n = 0; n < frames; ++n) {
            const float v = source[n * size_t(outChannels) + size_t(c)];
            const size_t at = (base + n) * size_t(stride);
            if (f)
                f[at] = v;
            else
                i[at] = toInt16(v);
        }
    }
    output.setFrameLength(base + uint32_t(frames));
}

bool AudioConverter::convertOne(const AudioBuffer& input, AudioBuffer& output, QString& error) {
    const uint32_t frames = input.frameLength();
    const int inChannels = from_->channelCount;
    const int outChannels = to_->channelCount;

    // Mix down (or up) to the output channel count, as interleaved float.
    mixed_.resize(size_t(frames) * size_t(outChannels));
    for (uint32_t f = 0; f < frames; ++f) {
        float sum = 0;
        for (int c = 0; c < inChannels; ++c)
            sum += sampleAt(input, c, f);
        const float mono = sum / float(inChannels);
        for (int c = 0; c < outChannels; ++c)
            mixed_[size_t(f) * size_t(outChannels) + size_t(c)] =
                inChannels == outChannels ? sampleAt(input, c, f) : mono;
    }

    const float* source = mixed_.data();
    size_t produced = frames;
    const size_t room = output.frameCapacity() - output.frameLength();
    if (resampler_) {
        resampled_.resize(std::max<size_t>(room, 1) * size_t(outChannels));
        size_t consumed = 0;
        produced = 0;
        // soxr keeps input it cannot yet filter for the next call. A null input would end the
        // stream, so an empty buffer never reaches it.
        while (consumed < frames) {
            size_t inDone = 0, outDone = 0;
            soxr_error_t soxrError = soxr_process(
                resampler_, mixed_.data() + consumed * size_t(outChannels), frames - consumed,
                &inDone, resampled_.data() + produced * size_t(outChannels), room - produced,
                &outDone);
            if (soxrError) {
                error = QString::fromUtf8(soxrError);
                return false;
            }
            consumed += inDone;
            produced += outDone;
            if ((inDone == 0 && outDone == 0) || produced >= room)
                break;
        }
        source = resampled_.data();
    }
    write(source, std::min(produced, room), output);
    return true;
}
