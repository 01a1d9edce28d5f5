// Arbitrary bytes as the configuration file: a configuration or a decoding error, never more.
#include "mirvo/MirvoConfig.h"
#include "platform/JSONDecoding.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const MirvoConfig config =
            MirvoConfig::decode(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
        // Cloud transcription off means no targets, whatever the file lists.
        if (!config.enableCloudTranscription && !config.resolvedTargets().isEmpty())
            std::abort();
    } catch (const DecodingError&) {
    }
    return 0;
}
