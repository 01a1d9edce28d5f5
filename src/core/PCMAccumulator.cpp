#include "PCMAccumulator.h"

#include "WAVEncoder.h"
#include "common/Log.h"

#include <cmath>
#include <limits>

PCMAccumulator::PCMAccumulator() : targetFormat_(makeSpeechFormat()) {}

void PCMAccumulator::dropLocked(const QString& line) {
    // A format that fails once fails for every buffer: one line per dictation is enough.
    if (dropped_++ == 0)
        mirvoLog(line, LogLevel::error);
}

void PCMAccumulator::append(const AudioBufferPtr& buffer) {
    if (!buffer)
        return;
    std::lock_guard guard(lock_);

    // The converter is reused only for the very same format object.
    if (!converter_ || !lastInputFormat_ || buffer->format() != lastInputFormat_) {
        converter_ = AudioConverter::make(buffer->format(), targetFormat_);
        lastInputFormat_ = buffer->format();
        if (!converter_) {
            dropLocked(QStringLiteral("[Mirvo/Audio] PCMAccumulator: could not create converter "
                                      "from %1 → %2")
                           .arg(buffer->format()->description(), targetFormat_->description()));
            return;
        }
    }

    const double ratio = targetFormat_->sampleRate / buffer->format()->sampleRate;
    const auto capacity = uint32_t(std::max(ratio * double(buffer->frameLength()), 1.0) + 1024.0);
    AudioBufferPtr output = AudioBuffer::make(targetFormat_, capacity);
    if (!output) {
        dropLocked(QStringLiteral("[Mirvo/Audio] PCMAccumulator convert error: out of memory"));
        return;
    }

    QString error;
    const auto status = converter_->convert(*output, AudioConverter::handOverOnce(buffer), error);
    if (status == AudioConverter::OutputStatus::error) {
        dropLocked(QStringLiteral("[Mirvo/Audio] PCMAccumulator convert error: %1")
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
    dropped_ = 0;
}

size_t PCMAccumulator::sampleCount() const {
    std::lock_guard guard(lock_);
    return samples_.size();
}

size_t PCMAccumulator::droppedBufferCount() const {
    std::lock_guard guard(lock_);
    return dropped_;
}

QByteArray PCMAccumulator::makeWAV() const {
    std::lock_guard guard(lock_);
    return WAVEncoder::encode(samples_, speechSampleRate, 1);
}

bool PCMAccumulator::roseAboveNoiseFloor() const {
    constexpr size_t window = speechSampleRate * 30 / 1000;
    constexpr double loudEnough = 32768 * 0.0056; // -45 dBFS
    constexpr double aboveFloor = 6.3;            // 16 dB
    std::lock_guard guard(lock_);
    double quietest = std::numeric_limits<double>::max(), loudest = 0;
    for (size_t start = 0; start + window <= samples_.size(); start += window) {
        double energy = 0;
        for (size_t i = start; i < start + window; ++i)
            energy += double(samples_[i]) * samples_[i];
        const double rms = std::sqrt(energy / window);
        quietest = std::min(quietest, rms);
        loudest = std::max(loudest, rms);
    }
    return loudest >= loudEnough && loudest >= quietest * aboveFloor;
}
