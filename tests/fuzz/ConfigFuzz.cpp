// Arbitrary bytes as the configuration file: a safe configuration or a decoding error, never
// more.
#include "common/JSONDecoding.h"
#include "core/MirvoConfig.h"

#include <QHostAddress>
#include <QUrl>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const MirvoConfig config =
            MirvoConfig::decode(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
        // Cloud transcription off means no targets, whatever the file lists.
        if (!config.enableCloudTranscription && !config.resolvedTargets().isEmpty())
            std::abort();
        // Nothing that would start a header of its own, and the key never travels in clear
        // but to this computer.
        for (const QString& header : {config.proxyKey, config.clientId})
            for (const QChar c : header)
                if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                    std::abort();
        const QUrl base(config.proxyBaseURL, QUrl::StrictMode);
        if (base.scheme().toLower() != QLatin1String("https") &&
            !QHostAddress(base.host()).isLoopback() && base.host() != QLatin1String("localhost"))
            std::abort();
    } catch (const DecodingError&) {
    }
    return 0;
}
