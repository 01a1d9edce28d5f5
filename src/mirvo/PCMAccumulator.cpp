#include "PCMAccumulator.h"

#include "WAVEncoder.h"
#include "platform/Log.h"

PCMAccumulator::PCMAccumulator()
    : targetFormat_(makeAudioFormat(16000.0, 1, SampleType::int16, true)) {}

void PCMAccumulator::append(const AudioBufferPtr& buffer) {
    if (!buffer)
        return;
    std::lock_guard guard(lock_);

    // The converter is reused only for the very same format object.
    if (!converter_ || !lastInputFormat_ || buffer->format() != lastInputFormat_) {
        converter_ = AudioConverter::make(buffer->format(), targetFormat_);
        lastInputFormat_ = buffer->format();
        if (!converter_) {
            mirvoLog(QStringLiteral("[Mirvo/Audio] PCMAccumulator: could not create converter "
                                    "from %1 → %2")
                         .arg(buffer->format()->description(), targetFormat_->description()));
            return;
        }
    }

    const double ratio = targetFormat_->sampleRate / buffer->format()->sampleRate;
    const auto capacity = uint32_t(std::max(ratio * double(buffer->frameLength()), 1.0) + 1024.0);
    AudioBufferPtr output = AudioBuffer::make(targetFormat_, capacity);
    if (!output)
        return;

    QString error;
    const auto status = converter_->convert(*output, AudioConverter::handOverOnce(buffer), error);
    if (status == AudioConverter::OutputStatus::error) {
        mirvoLog(QStringLiteral("[Mirvo/Audio] PCMAccumulator convert error: %1")
                     .arg(error.isEmpty() ? QStringLiteral("unknown") : error));
        return;
    }
    if (output->frameLength() > 0 && output->int16Channel(0)) {
        const int16_t* converted = output->int16Channel(0);
        samples_.insert(samples_.end(), converted, converted + output->frameLength());
    }
}

void PCMAccumulator::reset() {
    std::lock_guard guard(lock_);
    samples_.clear();
}

size_t PCMAccumulator::sampleCount() const {
    std::lock_guard guard(lock_);
    return samples_.size();
}

QByteArray PCMAccumulator::makeWAV() const {
    std::lock_guard guard(lock_);
    return WAVEncoder::encode(samples_, 16000, 1);
}
