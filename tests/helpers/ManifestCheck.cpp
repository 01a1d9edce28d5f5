// Checks a release manifest against its package: it decodes, names this version, and its
// address, digest and size match the package file.
// Usage: ManifestCheck MANIFEST PACKAGE   (exit 0 when everything matches)
#include "mirvo/UpdateChecker.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

int mismatch(const QString& what) {
    std::fprintf(stderr, "manifest: %s\n", qPrintable(what));
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return mismatch("usage: ManifestCheck MANIFEST PACKAGE");
    QFile manifestFile(QString::fromLocal8Bit(argv[1]));
    QFile package(QString::fromLocal8Bit(argv[2]));
    if (!manifestFile.open(QIODevice::ReadOnly) || !package.open(QIODevice::ReadOnly))
        return mismatch("cannot read the manifest or the package");
    const auto manifest = UpdateChecker::decodeManifest(manifestFile.readAll());
    if (!manifest)
        return mismatch("does not decode");
    if (UpdateChecker::compareVersions(manifest->version, QStringLiteral(MIRVO_VERSION)) !=
        ComparisonResult::orderedSame)
        return mismatch("version " + manifest->version + ", built " + MIRVO_VERSION);
    const QUrl download(manifest->downloadUrl);
    if (download.scheme() != QLatin1String("https") ||
        download.fileName() != QFileInfo(package).fileName())
        return mismatch("download address " + manifest->downloadUrl);
    if (manifest->sizeBytes != package.size())
        return mismatch("size");
    QCryptographicHash digest(QCryptographicHash::Sha256);
    digest.addData(&package);
    if (manifest->sha256 != QString::fromLatin1(digest.result().toHex()))
        return mismatch("sha256");
    if (manifest->minimumSystemVersion != QLatin1String("Debian 12") ||
        !manifest->publishedAt.endsWith(QLatin1Char('Z')))
        return mismatch("system version or publication date");
    std::printf("manifest matches %s\n", qPrintable(QFileInfo(package).fileName()));
    return 0;
}
