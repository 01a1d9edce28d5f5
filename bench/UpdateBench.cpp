// The update check's figures:
//   update_check_loopback_ms  one whole check against a manifest on a loopback server (p50)
//   manifest_decode_us        decoding one release manifest (mean)
#include "Figures.h"
#include "core/UpdateChecker.h"
#include "platform/linux/desktop/NetworkHTTPSession.h"
#include "support/Await.h"
#include "support/LoopbackHTTPServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QByteArray manifest =
        R"({"version": "2.0.0", "publishedAt": "2026-12-01T09:00:00Z",
            "minimumSystemVersion": "Debian 12",
            "downloadUrl": "https://releases.example.org/releases/mirvo_2.0.0_amd64.deb",
            "sha256": "8be65ea4d3cc20ecd7723850ee27ed4bdd3541f4c07615c7590869f5b984d96c",
            "sizeBytes": 254714})";

    LoopbackHTTPServer server;
    auto session = std::make_shared<NetworkHTTPSession>();
    const QUrl address(server.baseURL() + QStringLiteral("/releases/latest.json"));
    std::vector<double> checks;
    QElapsedTimer clock;
    for (int i = 0; i < 60; ++i) {
        server.answer(200, manifest);
        clock.start();
        const auto found = await(UpdateChecker::check(address, session, nullptr, "1.0"));
        if (!found.value || !found.value->update) {
            std::fprintf(stderr, "the check found no update\n");
            return 1;
        }
        if (i >= 10) // the first ones open the connection and warm the caches
            checks.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    figure("update_check_loopback_ms", percentile(checks, 0.5), "ms");

    constexpr int decodes = 20000;
    int decoded = 0;
    clock.start();
    for (int i = 0; i < decodes; ++i)
        decoded += UpdateChecker::decodeManifest(manifest) ? 1 : 0;
    const double us = double(clock.nsecsElapsed()) / 1e3 / decodes;
    if (decoded != decodes)
        return 1;
    std::printf("manifest_decode_us %.2f us\n", us);
    return 0;
}
