#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <compare>
#include <memory>
#include <optional>

class HTTPSession;
class UserDefaults;

// The release manifest, "/releases/latest.json" on the release host.
struct ReleaseManifest {
    QString version;
    QString publishedAt;
    QString minimumSystemVersion;
    QString downloadUrl;
    QString sha256;
    std::optional<qint64> sizeBytes;
    bool operator==(const ReleaseManifest&) const = default;
};

// A newer release than the running one.
struct UpdateInfo {
    QString currentVersion;
    QString remoteVersion;
    QUrl downloadUrl;
    QString publishedAt;
    bool operator==(const UpdateInfo&) const = default;
};

// What one check found: an update, or none and, when the check itself failed, why.
struct UpdateCheckResult {
    std::optional<UpdateInfo> update;
    // One sentence for the user; empty when the check worked (up to date, or checks are off).
    QString failure;
};

// Whether a newer Mirvo has been released. No state of its own.
namespace UpdateChecker {

// "https://<release host>/releases/latest.json"; the host is set when Mirvo is built.
QString defaultManifestURLString();
// The address parsed; file:///dev/null when it does not parse (a check against it finds nothing).
QUrl defaultManifestURL();
// A boolean user default: when true no check goes to the network. Mirvo never writes it.
inline const QString suppressedKey = QStringLiteral("ai.mirvo.updateCheckDisabled");

// The version this build was given, "0.0.0" without one.
QString currentAppVersion();
// greater when `a` is the newer version, less when `b` is.
std::strong_ordering compareVersions(const QString& a, const QString& b);
// The manifest in `data`, or none when it is not one.
std::optional<ReleaseManifest> decodeManifest(const QByteArray& data);

// Bounds on one fetch of the manifest.
struct Limits {
    double seconds = 30;
    qint64 bytes = 1024 * 1024;
};

// The whole check against `manifestURL`, comparing with `currentVersion` (the running version
// when none). Never throws; every failure is logged once and explained in the result.
QCoro::Task<UpdateCheckResult> check(QUrl manifestURL, std::shared_ptr<HTTPSession> session,
                                     std::shared_ptr<const UserDefaults> defaults,
                                     std::optional<QString> currentVersion = std::nullopt,
                                     Limits limits = {});
// The same, answering only whether there is an update.
QCoro::Task<std::optional<UpdateInfo>>
checkForUpdate(QUrl manifestURL, std::shared_ptr<HTTPSession> session,
               std::shared_ptr<const UserDefaults> defaults,
               std::optional<QString> currentVersion = std::nullopt);

} // namespace UpdateChecker
