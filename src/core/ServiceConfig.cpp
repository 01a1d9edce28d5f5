#include "ServiceConfig.h"

#include "UserFile.h"
#include "common/JSONDecoding.h"
#include "common/Log.h"
#include "platform/HTTPSession.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// An address of the user's own network: the private and link-local ranges, or a host name
// without a domain or in .local/.lan, which only the local network resolves.
bool isPrivateNetwork(const QString& host) {
    const QHostAddress address(host);
    if (address.isNull())
        return !host.contains(QLatin1Char('.')) || host.endsWith(QLatin1String(".local")) ||
               host.endsWith(QLatin1String(".lan"));
    for (const char* range : {"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16",
                              "fc00::/7", "fe80::/10"})
        if (address.isInSubnet(QHostAddress::parseSubnet(QLatin1String(range))))
            return true;
    return false;
}

// The endpoint a user's URL names: a base such as https://api.openai.com/v1 gets `suffix`; a URL
// that already ends in it, or in one of `fullPaths`, is the endpoint itself.
QUrl endpointOf(QUrl url, const QString& suffix, const QStringList& fullPaths) {
    QString path = url.path();
    for (const QString& full : fullPaths + QStringList{suffix})
        if (path.endsWith(full))
            return url;
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + suffix);
    return url;
}

ServiceEndpoint decodeEndpoint(const JSONObjectReader& section, const QString& name,
                               const QString& suffix, const QStringList& fullPaths,
                               bool privateHTTP) {
    const QString text = section.requireString(QStringLiteral("url"));
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() ||
        (scheme != QLatin1String("https") && scheme != QLatin1String("http")))
        throw DecodingError(
            QStringLiteral("key \"%1.url\" is not an http or https address").arg(name));
    if (!url.userInfo().isEmpty())
        throw DecodingError(
            QStringLiteral("key \"%1.url\" holds a user name or password: keep keys in the "
                           "keyring (mirvo --set-key %1)")
                .arg(name));
    ServiceEndpoint endpoint;
    endpoint.url = endpointOf(url, suffix, fullPaths);
    endpoint.model = section.requireString(QStringLiteral("model"));
    if (scheme == QLatin1String("http") && !isLoopbackHost(url.host())) {
        // The recording and the text cross the network unencrypted: only on the user's own
        // network, only when asked for, and never with a key.
        if (!privateHTTP || !isPrivateNetwork(url.host()))
            throw DecodingError(
                QStringLiteral("key \"%1.url\" is plain http to another computer: use https, or "
                               "a private-network address with \"plainHTTPOnPrivateNetwork\": "
                               "true")
                    .arg(name));
        endpoint.keyAllowed = false;
    }
    return endpoint;
}

} // namespace

QString ServiceEndpoint::displayName() const {
    return model.isEmpty() ? url.host() : model + QStringLiteral(" via ") + url.host();
}

QString ServiceConfig::defaultPath(const QString& configDirectory) {
    return configDirectory + QStringLiteral("/Mirvo/services.json");
}

ServiceConfig ServiceConfig::decode(const QByteArray& json) {
    const JSONObjectReader root = JSONObjectReader::parse(json);
    ServiceConfig config;
    const bool privateHTTP =
        root.optionalBool(QStringLiteral("plainHTTPOnPrivateNetwork")).value_or(false);
    if (const auto section = root.optionalObject(QStringLiteral("transcription"))) {
        config.transcription = decodeEndpoint(*section, QStringLiteral("transcription"),
                                              QStringLiteral("/audio/transcriptions"),
                                              {QStringLiteral("/inference")}, privateHTTP);
        config.transcription->language =
            section->optionalString(QStringLiteral("language")).value_or(QStringLiteral("en"));
    }
    if (const auto section = root.optionalObject(QStringLiteral("polish")))
        config.polish = decodeEndpoint(*section, QStringLiteral("polish"),
                                       QStringLiteral("/chat/completions"), {}, privateHTTP);
    if (const auto seconds = root.optionalNumber(QStringLiteral("fallbackSeconds"))) {
        if (*seconds < 1 || *seconds > 120)
            throw DecodingError(
                QStringLiteral("key \"fallbackSeconds\" must be between 1 and 120 seconds"));
        config.fallbackSeconds = *seconds;
    }
    return config;
}

std::optional<ServiceConfig> ServiceConfig::load(const QString& path) {
    if (!QFileInfo::exists(path))
        return std::nullopt;
    if (const QString problem = unsafeUserFileProblem(path); !problem.isEmpty()) {
        mirvoLog(QStringLiteral("[Mirvo/Config] not using %1: %2 — speech stays on this computer")
                     .arg(path, problem),
                 LogLevel::warning);
        return std::nullopt;
    }
    try {
        ServiceConfig config = decode(readUserFile(path));
        mirvoLog(QStringLiteral("[Mirvo/Config] loaded %1 transcription=%2 polish=%3")
                     .arg(path,
                          config.transcription ? config.transcription->displayName()
                                               : QStringLiteral("none"),
                          config.polish ? config.polish->displayName() : QStringLiteral("none")));
        return config;
    } catch (const DecodingError& e) {
        mirvoLog(QStringLiteral("[Mirvo/Config] failed to decode %1: %2").arg(path, e.message()),
                 LogLevel::warning);
        return std::nullopt;
    }
}

QString ServiceConfig::storeTranscription(const QString& path, const QString& url,
                                          const QString& model) {
    QJsonObject root;
    if (QFileInfo::exists(path)) {
        // A file Mirvo cannot read is the user's to mend, not Mirvo's to overwrite.
        try {
            if (const QString problem = unsafeUserFileProblem(path); !problem.isEmpty())
                throw DecodingError(problem);
            const QJsonDocument document = QJsonDocument::fromJson(readUserFile(path));
            if (!document.isObject())
                throw DecodingError(QStringLiteral("it is not a JSON object"));
            root = document.object();
        } catch (const DecodingError& e) {
            return QStringLiteral("%1 was left as it is (%2): mend it or remove it.")
                .arg(path, e.message());
        }
    }
    if (url.trimmed().isEmpty()) {
        root.remove(QStringLiteral("transcription"));
    } else {
        QJsonObject section = root.value(QStringLiteral("transcription")).toObject();
        section.insert(QStringLiteral("url"), url.trimmed());
        section.insert(QStringLiteral("model"), model.trimmed());
        root.insert(QStringLiteral("transcription"), section);
    }
    const QByteArray json = QJsonDocument(root).toJson();
    try {
        decode(json);
    } catch (const DecodingError& e) {
        return e.message();
    }
    if (const QString failure = writeUserFile(path, json); !failure.isEmpty())
        return QStringLiteral("%1 could not be written: %2").arg(path, failure);
    return {};
}
