#include "WAVEncoder.h"

#include <bit>
#include <cstring>

namespace {

char* putU32(char* at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        *at++ = char((v >> (8 * i)) & 0xFF);
    return at;
}

char* putU16(char* at, uint16_t v) {
    *at++ = char(v & 0xFF);
    *at++ = char(v >> 8);
    return at;
}

char* putTag(char* at, const char (&tag)[5]) {
    std::memcpy(at, tag, 4);
    return at + 4;
}

} // namespace

QByteArray WAVEncoder::encode(std::span<const int16_t> samples, int sampleRate, int channels) {
    const uint32_t dataSize = uint32_t(samples.size() * 2);
    QByteArray image(qsizetype(44 + size_t(dataSize)), Qt::Uninitialized);
    char* at = image.data();
    at = putTag(at, "RIFF");
    at = putU32(at, 36 + dataSize);
    at = putTag(at, "WAVE");
    at = putTag(at, "fmt ");
    at = putU32(at, 16);
    at = putU16(at, 1);
    at = putU16(at, uint16_t(channels));
    at = putU32(at, uint32_t(sampleRate));
    // In 64 bits: the product overflows 32 bits for rates whose byte rate still fits.
    at = putU32(at, uint32_t(uint64_t(sampleRate) * uint64_t(channels) * 16 / 8));
    at = putU16(at, uint16_t(channels * 16 / 8));
    at = putU16(at, 16);
    at = putTag(at, "data");
    at = putU32(at, dataSize);
    if constexpr (std::endian::native == std::endian::little) {
        if (dataSize)
            std::memcpy(at, samples.data(), dataSize);
    } else {
        for (int16_t s : samples)
            at = putU16(at, uint16_t(s));
    }
    return image;
}
