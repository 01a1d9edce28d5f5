#include "MirvoConfig.h"

#include "platform/JSONDecoding.h"
#include "platform/Log.h"

#include <QFile>
#include <QFileInfo>

namespace {

// A configuration file is a few hundred bytes; anything this large is not one, and reading it
// whole would only waste memory.
constexpr qint64 maxConfigBytes = 1 << 20;

QByteArray readWhole(const QString& path) {
    QFile file(path);
    if (QFileInfo(path).isDir())
        throw DecodingError(QStringLiteral("it is a directory, not a file"));
    if (file.size() > maxConfigBytes)
        throw DecodingError(QStringLiteral("the file is %1 bytes; a configuration file is at "
                                           "most %2 bytes")
                                .arg(file.size())
                                .arg(maxConfigBytes));
    if (!file.open(QIODevice::ReadOnly))
        throw DecodingError(QStringLiteral("cannot read the file: %1").arg(file.errorString()));
    QByteArray data = file.read(maxConfigBytes + 1);
    if (data.size() > maxConfigBytes) // a device or pipe that reports no size
        throw DecodingError(
            QStringLiteral("the file holds more than %1 bytes; not a configuration file")
                .arg(maxConfigBytes));
    return data;
}

} // namespace

QString MirvoConfig::defaultPath(const QString& applicationSupportDirectory) {
    return applicationSupportDirectory + QStringLiteral("/Mirvo/config.json");
}

MirvoConfig MirvoConfig::decode(const QByteArray& json) {
    const JSONObjectReader root = JSONObjectReader::parse(json);
    MirvoConfig config;
    config.proxyBaseURL = root.requireString(QStringLiteral("proxyBaseURL"));
    config.proxyKey = root.requireString(QStringLiteral("proxyKey"));
    config.clientId = root.requireString(QStringLiteral("clientId"));
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
    try {
        MirvoConfig config = decode(readWhole(path));
        // The file holds the proxy key: say so when others may read it, and use it still.
        if (QFileInfo(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther |
                                             QFileDevice::WriteGroup | QFileDevice::WriteOther))
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
