#pragma once

#include "AudioBuffer.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

struct soxr;

// Streams PCM from one format into another: channel mix-down (every output channel is the mean of
// all input channels), sample-type conversion and resampling with libsoxr. Resampler state carries
// over from one conversion to the next, so consecutive buffers form one continuous signal; the
// stream ends only when the input block says so (then the filter's tail is released). Same-rate
// conversions bypass the resampler, so 16 kHz mono 16-bit input passes through unchanged in value.
// Not thread-safe: one caller at a time.
class AudioConverter final {
public:
    enum class InputStatus { haveData, noDataNow, endOfStream };
    enum class OutputStatus { haveData, inputRanDry, endOfStream, error };
    // Asked for input during a conversion until it reports noDataNow or endOfStream.
    using InputBlock = std::function<AudioBufferPtr(InputStatus& status)>;

    // An input block that hands over `buffer` on its first call and reports no data for now
    // after that: one buffer per conversion, the stream going on.
    static InputBlock handOverOnce(AudioBufferPtr buffer);
    // An input block that reports the end of the stream, releasing the resampler's tail.
    static InputBlock endOfStream();

    // Null when no conversion between the two formats can be made.
    static std::unique_ptr<AudioConverter> make(AudioFormatPtr from, AudioFormatPtr to);
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    // Converts what the input block hands over into `output`, appending after its current frame
    // length. On error, `error` receives the reason.
    OutputStatus convert(AudioBuffer& output, const InputBlock& inputBlock, QString& error);

    const AudioFormatPtr& inputFormat() const { return from_; }

private:
    AudioConverter(AudioFormatPtr from, AudioFormatPtr to, soxr* resampler);
    bool convertOne(const AudioBuffer& input, AudioBuffer& output, QString& error);
    // Writes interleaved float frames in the output's sample type and layout.
    void write(const float* source, size_t frames, AudioBuffer& output);
    void flush(AudioBuffer& output);

    AudioFormatPtr from_;
    AudioFormatPtr to_;
    soxr* resampler_; // null when the rates are equal
    std::vector<float> mixed_;
    std::vector<float> resampled_;
};
