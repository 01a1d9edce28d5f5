// Arbitrary bytes as a release manifest, and as two version strings (split at the first
// newline): decoding must never crash, and the comparison must stay a consistent order.
#include "core/UpdateChecker.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<ReleaseManifest> manifest = UpdateChecker::decodeManifest(bytes);

    qsizetype cut = bytes.indexOf('\n');
    if (cut < 0)
        cut = bytes.size() / 2;
    const QString a = QString::fromUtf8(bytes.left(cut));
    const QString b = QString::fromUtf8(bytes.mid(cut + 1));
    const std::strong_ordering ab = UpdateChecker::compareVersions(a, b);
    if ((0 <=> ab) != UpdateChecker::compareVersions(b, a))
        std::abort();
    if (UpdateChecker::compareVersions(a, a) != std::strong_ordering::equal)
        std::abort();
    // Trailing zero components never change the order.
    if (UpdateChecker::compareVersions(a + QStringLiteral(".0"), b) != ab)
        std::abort();
    if (manifest)
        UpdateChecker::compareVersions(manifest->version, UpdateChecker::currentAppVersion());
    return 0;
}
