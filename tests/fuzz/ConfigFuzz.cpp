// Arbitrary bytes as the proxy's configuration file and as the services file: a safe
// configuration or a decoding error, never more.
#include "common/JSONDecoding.h"
#include "core/MirvoConfig.h"
#include "core/ServiceConfig.h"

#include <QHostAddress>
#include <QUrl>

#include <cstdint>
#include <cstdlib>

namespace {

// A key travels only over TLS or to this computer.
void checkServices(const QByteArray& data) {
    try {
        const ServiceConfig config = ServiceConfig::decode(data);
        for (const auto& endpoint : {config.transcription, config.polish}) {
            if (!endpoint)
                continue;
            const QString scheme = endpoint->url.scheme().toLower();
            const QString host = endpoint->url.host();
            const bool local =
                QHostAddress(host).isLoopback() || host == QLatin1String("localhost");
            if ((scheme != QLatin1String("https") && scheme != QLatin1String("http")) ||
                (scheme == QLatin1String("http") && !local && endpoint->keyAllowed))
                std::abort();
        }
    } catch (const DecodingError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    checkServices(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
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
