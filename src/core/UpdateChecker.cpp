#include "UpdateChecker.h"

#include "common/JSONDecoding.h"
#include "common/Log.h"
#include "platform/HTTPSession.h"
#include "platform/UserDefaults.h"

#include <vector>

#ifndef MIRVO_UPDATE_HOST
#define MIRVO_UPDATE_HOST ""
#endif

namespace {

// A piece is an optional sign and digits that fit 64 bits; anything else counts as 0.
qint64 versionComponent(QStringView piece) {
    const qsizetype digitsFrom =
        (piece.startsWith(QLatin1Char('+')) || piece.startsWith(QLatin1Char('-'))) ? 1 : 0;
    if (piece.size() == digitsFrom)
        return 0;
    for (qsizetype i = digitsFrom; i < piece.size(); ++i)
        if (piece[i] < QLatin1Char('0') || piece[i] > QLatin1Char('9'))
            return 0;
    bool ok = false;
    const qint64 value = piece.toLongLong(&ok, 10);
    return ok ? value : 0;
}

std::vector<qint64> parseVersion(const QString& s) {
    std::vector<qint64> components;
    for (QStringView piece : QStringView(s).split(QLatin1Char('.'), Qt::SkipEmptyParts))
        components.push_back(versionComponent(piece));
    return components;
}

// Only https, but for the loopback address tests serve manifests from.
bool mayFetch(const QUrl& url) {
    return url.scheme() == QLatin1String("https") ||
           (url.scheme() == QLatin1String("http") && url.host() == QLatin1String("127.0.0.1"));
}

// Throws DecodingError naming what is wrong.
ReleaseManifest readManifest(const QByteArray& data) {
    const JSONObjectReader reader = JSONObjectReader::parse(data);
    return {reader.requireString(QStringLiteral("version")),
            reader.requireString(QStringLiteral("publishedAt")),
            reader.requireString(QStringLiteral("minimumSystemVersion")),
            reader.requireString(QStringLiteral("downloadUrl")),
            reader.requireString(QStringLiteral("sha256")),
            reader.optionalInteger(QStringLiteral("sizeBytes"))};
}

UpdateCheckResult failed(const QString& why) {
    mirvoLog(QStringLiteral("[Mirvo] update check failed: ") + why, LogLevel::warning);
    return {std::nullopt, why};
}

QString transportFailure(const MirvoError& error, const UpdateChecker::Limits& limits) {
    if (error.is(MirvoError::Kind::timedOut))
        return QStringLiteral("The update server did not answer within %1 seconds.")
            .arg(limits.seconds);
    if (error.is(MirvoError::Kind::answerTooLarge))
        return QStringLiteral("The update server's answer is larger than %1 KiB.")
            .arg(limits.bytes / 1024);
    return QStringLiteral("The update server could not be reached (%1).").arg(error.reason());
}

} // namespace

QString UpdateChecker::defaultManifestURLString() {
    return QStringLiteral("https://") + QStringLiteral(MIRVO_UPDATE_HOST) +
           QStringLiteral("/releases/latest.json");
}

QUrl UpdateChecker::defaultManifestURL() {
    const QUrl url(defaultManifestURLString(), QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty()
               ? url
               : QUrl::fromLocalFile(QStringLiteral("/dev/null"));
}

QString UpdateChecker::currentAppVersion() {
#ifdef MIRVO_VERSION
    return QStringLiteral(MIRVO_VERSION);
#else
    return QStringLiteral("0.0.0");
#endif
}

std::strong_ordering UpdateChecker::compareVersions(const QString& a, const QString& b) {
    const std::vector<qint64> left = parseVersion(a), right = parseVersion(b);
    for (size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        const qint64 x = i < left.size() ? left[i] : 0;
        const qint64 y = i < right.size() ? right[i] : 0;
        if (x != y)
            return x <=> y;
    }
    return std::strong_ordering::equal;
}

std::optional<ReleaseManifest> UpdateChecker::decodeManifest(const QByteArray& data) {
    try {
        return readManifest(data);
    } catch (const DecodingError&) {
        return std::nullopt;
    }
}

QCoro::Task<UpdateCheckResult> UpdateChecker::check(QUrl manifestURL,
                                                    std::shared_ptr<HTTPSession> session,
                                                    std::shared_ptr<const UserDefaults> defaults,
                                                    std::optional<QString> currentVersion,
                                                    Limits limits) {
    if (defaults && defaults->boolForKey(suppressedKey))
        co_return UpdateCheckResult{};
    const QString running = currentVersion.value_or(currentAppVersion());
    if (!mayFetch(manifestURL))
        co_return failed(
            QStringLiteral("The update address %1 is not https.").arg(manifestURL.toString()));

    HTTPRequest request;
    request.url = manifestURL;
    request.timeoutSeconds = limits.seconds;
    request.totalTimeoutSeconds = limits.seconds;
    request.maxBodyBytes = limits.bytes;
    HTTPResponse response;
    try {
        response = co_await session->data(request);
    } catch (const MirvoError& e) {
        co_return failed(transportFailure(e, limits));
    }
    if (!response.isHTTP)
        co_return failed(QStringLiteral("The update address gave no HTTP answer."));
    if (response.statusCode < 200 || response.statusCode > 299)
        co_return failed(QStringLiteral("The update server answered %1.").arg(response.statusCode));

    ReleaseManifest manifest;
    try {
        manifest = readManifest(response.body);
    } catch (const DecodingError& e) {
        co_return failed(
            QStringLiteral("The update server's answer is not a release manifest (%1).")
                .arg(e.message()));
    }
    if (compareVersions(manifest.version, running) != std::strong_ordering::greater)
        co_return UpdateCheckResult{};

    // The address goes to the desktop's default handler: nothing but a web address will do.
    const QUrl download(manifest.downloadUrl, QUrl::StrictMode);
    if (!download.isValid())
        co_return failed(QStringLiteral("The release's download address is not a URL."));
    if (download.scheme() != QLatin1String("https") || download.host().isEmpty())
        co_return failed(
            download.scheme().isEmpty()
                ? QStringLiteral("The release's download address has no scheme; only https is "
                                 "accepted.")
                : QStringLiteral("The release's download address has the scheme \"%1\"; only "
                                 "https is accepted.")
                      .arg(download.scheme()));
    co_return UpdateCheckResult{
        UpdateInfo{running, manifest.version, download, manifest.publishedAt}, {}};
}

QCoro::Task<std::optional<UpdateInfo>>
UpdateChecker::checkForUpdate(QUrl manifestURL, std::shared_ptr<HTTPSession> session,
                              std::shared_ptr<const UserDefaults> defaults,
                              std::optional<QString> currentVersion) {
    co_return (co_await check(std::move(manifestURL), std::move(session), std::move(defaults),
                              std::move(currentVersion)))
        .update;
}
