#include "ServiceAssembly.h"

#include "common/Log.h"
#include "core/ServiceClient.h"
#include "core/ServiceKeys.h"
#include "platform/PlatformServices.h"

#include <QHostAddress>

namespace {

// Reads a key at launch, so that a keyring that asks to be unlocked asks then, not during the
// first dictation.
QCoro::Task<> readEarly(std::shared_ptr<ServiceKeys> keys, QString name, QString otherwise) {
    co_await keys->key(name, otherwise);
}

} // namespace

Services makeServices(PlatformServices& platform, const QString& path, bool loopbackOnly) {
    Services services;
    services.config = ServiceConfig::load(path);
    if (!services.config)
        return services;
    const auto onThisComputer = [](const std::optional<ServiceEndpoint>& endpoint) {
        return !endpoint || QHostAddress(endpoint->url.host()).isLoopback();
    };
    if (loopbackOnly && (!onThisComputer(services.config->transcription) ||
                         !onThisComputer(services.config->polish))) {
        mirvoLog(QStringLiteral("[Mirvo] MIRVO_TEST_SERVICES ignored: its services must be on "
                                "127.0.0.1"),
                 LogLevel::warning);
        services.config.reset();
        return services;
    }
    auto keys = std::make_shared<ServiceKeys>(
        platform.makeSecretStore(), ServiceKeys::defaultFolder(platform.configDirectory()));
    auto session = platform.makeHTTPSession();
    ServiceLimits limits;
    limits.longestRetryWait = services.config->fallbackSeconds;
    const auto client = [&](const ServiceEndpoint& endpoint, const QString& name,
                            const QString& otherwise) {
        if (!endpoint.keyAllowed)
            mirvoLog(QStringLiteral("[Mirvo/Service] %1 over plain http: no key is sent to %2")
                         .arg(name, endpoint.url.host()));
        readEarly(keys, name, otherwise);
        return std::make_shared<ServiceClient>(
            endpoint, [keys, name, otherwise] { return keys->key(name, otherwise); }, session,
            limits);
    };
    const std::optional<ServiceEndpoint>& speech = services.config->transcription;
    if (speech)
        services.transcription = client(*speech, QStringLiteral("transcription"), QString());
    if (const std::optional<ServiceEndpoint>& chat = services.config->polish) {
        const bool sameService = speech && speech->url.host() == chat->url.host();
        services.polish = client(*chat, QStringLiteral("polish"),
                                 sameService ? QStringLiteral("transcription") : QString());
    }
    return services;
}
