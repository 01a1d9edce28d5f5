#pragma once

#include <QByteArray>

#include <cstdint>
#include <span>

// Encodes 16-bit PCM as a WAV file image: a 44-byte header, then the samples.
namespace WAVEncoder {

// `samples` are interleaved when channels > 1. The caller keeps within the format's limits:
// sampleRate and channels at least 1, channels at most 32767, sizes within 32 bits.
QByteArray encode(std::span<const int16_t> samples, int sampleRate, int channels);

} // namespace WAVEncoder
