#include "MirvoConfig.h"

#include "UserFile.h"
#include "common/JSONDecoding.h"
#include "common/Log.h"
#include "platform/HTTPSession.h"

#include <QFileInfo>
#include <QUrl>

namespace {

// The proxy gets the key and the recording: only over TLS, or to this computer.
void requireSafeBaseURL(const QString& value) {
    const QUrl url(value, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https") ||
        (scheme == QLatin1String("http") && isLoopbackHost(url.host())))
        return;
    throw DecodingError(QStringLiteral("key \"proxyBaseURL\" must be an https URL (or http to "
                                       "this computer)"));
}

// Header values: a line break would start a header of its own.
QString requireHeaderValue(const JSONObjectReader& root, const QString& key) {
    const QString value = root.requireString(key);
    if (!isHeaderValue(value))
        throw DecodingError(
            QStringLiteral("key \"%1\" holds a control character (a line break, say)").arg(key));
    return value;
}

} // namespace

QString MirvoConfig::defaultPath(const QString& configDirectory) {
    return configDirectory + QStringLiteral("/Mirvo/config.json");
}

MirvoConfig MirvoConfig::decode(const QByteArray& json) {
    const JSONObjectReader root = JSONObjectReader::parse(json);
    MirvoConfig config;
    config.proxyBaseURL = root.requireString(QStringLiteral("proxyBaseURL"));
    requireSafeBaseURL(config.proxyBaseURL);
    config.proxyKey = requireHeaderValue(root, QStringLiteral("proxyKey"));
    config.clientId = requireHeaderValue(root, QStringLiteral("clientId"));
    if (const auto targets = root.optionalArray(QStringLiteral("transcribeTargets"))) {
        QList<TranscribeTarget> list;
        for (int i = 0; i < targets->size(); ++i) {
            const JSONObjectReader t =
                root.element(*targets, QStringLiteral("transcribeTargets"), i);
            list.append({t.requireString(QStringLiteral("path")),
                         t.requireString(QStringLiteral("model"))});
        }
        config.transcribeTargets = list;
    }
    config.transcribePath = root.optionalString(QStringLiteral("transcribePath"));
    config.transcribeModel = root.optionalString(QStringLiteral("transcribeModel"));
    config.chatPath = root.requireString(QStringLiteral("chatPath"));
    config.polishModel = root.requireString(QStringLiteral("polishModel"));
    config.enableCloudTranscription = root.requireBool(QStringLiteral("enableCloudTranscription"));
    config.enablePolish = root.requireBool(QStringLiteral("enablePolish"));
    return config;
}

std::optional<MirvoConfig> MirvoConfig::load(const QString& path) {
    if (!QFileInfo::exists(path)) {
        mirvoLog(QStringLiteral("[Mirvo/Config] no config at %1 — running fully local").arg(path));
        return std::nullopt;
    }
    if (const QString problem = unsafeUserFileProblem(path); !problem.isEmpty()) {
        mirvoLog(QStringLiteral("[Mirvo/Config] not using %1: %2 — running fully local")
                     .arg(path, problem),
                 LogLevel::warning);
        return std::nullopt;
    }
    try {
        MirvoConfig config = decode(readUserFile(path));
        // The file holds the proxy key: say so when others may read it, and use it still.
        if (othersMayRead(path))
            mirvoLog(QStringLiteral("[Mirvo/Config] %1 can be read by other users, and it holds "
                                    "the proxy key: chmod 600 it")
                         .arg(path),
                     LogLevel::warning);
        mirvoLog(QStringLiteral("[Mirvo/Config] loaded %1 cloud=%2 polish=%3")
                     .arg(path, boolText(config.enableCloudTranscription),
                          boolText(config.enablePolish)));
        return config;
    } catch (const DecodingError& e) {
        mirvoLog(QStringLiteral("[Mirvo/Config] failed to decode %1: %2").arg(path, e.message()),
                 LogLevel::warning);
        return std::nullopt;
    }
}

QList<TranscribeTarget> MirvoConfig::resolvedTargets() const {
    if (!enableCloudTranscription)
        return {};
    if (transcribeTargets && !transcribeTargets->isEmpty())
        return *transcribeTargets;
    if (transcribePath && transcribeModel)
        return {TranscribeTarget{*transcribePath, *transcribeModel}};
    return {};
}
