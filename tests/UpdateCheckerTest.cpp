#include "core/UpdateChecker.h"
#include "doubles/FakePlatform.h"
#include "platform/linux/desktop/NetworkHTTPSession.h"
#include "support/Await.h"
#include "support/LogCapture.h"
#include "support/LoopbackHTTPServer.h"
#include "support/Utilities.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace {

using Response = LoopbackHTTPServer::Response;
using Behaviour = Response::Behaviour;
constexpr auto newer = std::strong_ordering::greater;
constexpr auto older = std::strong_ordering::less;
constexpr auto same = std::strong_ordering::equal;

QJsonObject validManifest() {
    return {{"version", "2.0.0"},
            {"publishedAt", "2026-12-01T09:00:00Z"},
            {"minimumSystemVersion", "Debian 12"},
            {"downloadUrl", "https://releases.example.org/mirvo_2.0.0_amd64.deb"},
            {"sha256", "ab12"},
            {"sizeBytes", 123456}};
}

QByteArray json(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray with(const char* key, const QJsonValue& value) {
    QJsonObject m = validManifest();
    if (value.isUndefined())
        m.remove(key);
    else
        m.insert(key, value);
    return json(m);
}

} // namespace

Q_DECLARE_METATYPE(LoopbackHTTPServer::Response)

class UpdateCheckerTest : public QObject {
    Q_OBJECT

private slots:
    void versionsCompareByNumericPieces() {
        const QList<std::tuple<QString, QString, std::strong_ordering>> cases = {
            {"1.10", "1.9", newer},     {"1.2.3-beta", "1.2.0", same},
            {"v2.0.0", "1.5.0", older}, {"1.5.0.1", "1.5", newer},
            {"1.0.-1", "1.0", older},   {"1..2.", "1.2", same},
            {"", "0.0.1", older},       {"99999999999999999999", "1", older}, // overflow: 0
            {"1. 2", "1.0", same},      {"2", "10", older},
        };
        for (const auto& [a, b, expected] : cases) {
            QVERIFY2(UpdateChecker::compareVersions(a, b) == expected, qPrintable(a + " vs " + b));
            QVERIFY2(UpdateChecker::compareVersions(b, a) == (0 <=> expected),
                     qPrintable(b + " vs " + a));
        }
    }

    // The decoder the fuzzer drives: a manifest, or none for what the checker refuses.
    void manifestsDecodeStrictly() {
        QCOMPARE(UpdateChecker::decodeManifest(json(validManifest()))->version,
                 QStringLiteral("2.0.0"));
        for (const QByteArray& refused :
             {with("sha256", QJsonValue::Null), with("sizeBytes", "12")})
            QVERIFY(!UpdateChecker::decodeManifest(refused));
    }

    // Against a loopback server, for this version 1.5.0: the release found, or the reason
    // there is none, logged once and explained in the same words.
    void checksAgainstALoopbackServer_data() {
        QTest::addColumn<Response>("response"); // status 302: a redirect to a good manifest
        QTest::addColumn<QString>("remote");    // the update found; empty: none
        QTest::addColumn<QString>("failure");   // how the reason starts; empty: no failure
        const QString notManifest = "The update server's answer is not a release manifest (";
        const QString slow = "The update server did not answer within 1.5 seconds.";
        addRow("newer", Response{200, json(validManifest())}, QStringLiteral("2.0.0"), QString());
        addRow("same", Response{200, with("version", "1.5.0")}, QString(), QString());
        addRow("redirect", Response{302, {}}, QStringLiteral("2.0.0"), QString());
        addRow("wrong type", Response{200, with("version", 2)}, QString(),
               notManifest +
                   "key \"version\" has the wrong type: expected a string, found a number).");
        addRow("no checksum", Response{200, with("sha256", QJsonValue::Undefined)}, QString(),
               notManifest);
        addRow("size as text", Response{200, with("sizeBytes", "12")}, QString(), notManifest);
        addRow("204", Response{204, ""}, QString(), notManifest);
        addRow("304", Response{304, json(validManifest())}, QString(),
               "The update server answered 304.");
        addRow("5 MiB", Response{200, QByteArray(5 << 20, ' ') + json(validManifest())}, QString(),
               "The update server's answer is larger than 1024 KiB.");
        addRow("drip", Response{200, json(validManifest()), Behaviour::drip}, QString(), slow);
        addRow("silent", Response{200, {}, Behaviour::stall}, QString(), slow);
        for (const auto& [url, said] :
             {std::pair{"file:///etc/passwd", "the scheme \"file\""},
              {"http://releases.example.org/m.deb", "the scheme \"http\""},
              {"releases.example.org/m.deb", "no scheme"}})
            addRow(url, Response{200, with("downloadUrl", url)}, QString(),
                   QStringLiteral("The release's download address has ") + said);
    }

    void checksAgainstALoopbackServer() {
        QFETCH(Response, response);
        QFETCH(QString, remote);
        QFETCH(QString, failure);
        LoopbackHTTPServer server;
        if (response.status == 302) { // by path: a client may send a request again
            server.route("/releases/latest.json",
                         Response{302, {}, Behaviour::answer, "text/plain"}.with(
                             "Location", "/elsewhere.json"));
            server.route("/elsewhere.json", {200, json(validManifest())});
        } else {
            server.enqueue(response);
        }
        LogCapture logs;
        QElapsedTimer clock;
        clock.start();
        const auto outcome = await(UpdateChecker::check(
            QUrl(server.baseURL() + "/releases/latest.json"),
            std::make_shared<NetworkHTTPSession>(), std::make_shared<FakeUserDefaults>(), "1.5.0",
            {1.5, 1024 * 1024}));
        QVERIFY(clock.elapsed() < 4000);
        const UpdateCheckResult& result = *outcome.value;
        QCOMPARE(result.update ? result.update->remoteVersion : QString(), remote);
        QVERIFY2(result.failure.startsWith(failure) &&
                     result.failure.isEmpty() == failure.isEmpty(),
                 qPrintable(result.failure));
        QCOMPARE(logs.startingWith("[Mirvo] update check failed: "),
                 failure.isEmpty() ? QStringList()
                                   : QStringList{"[Mirvo] update check failed: " + result.failure});
        if (result.update)
            QCOMPARE(result.update->downloadUrl,
                     QUrl("https://releases.example.org/mirvo_2.0.0_amd64.deb"));
        QCOMPARE(LoopbackHTTPServer::requestLine(server.requests().value(0)),
                 QByteArray("GET /releases/latest.json HTTP/1.1"));
    }

    void nothingIsFetchedButOverHttps() {
        auto session = std::make_shared<FakeHTTPSession>();
        auto defaults = std::make_shared<FakeUserDefaults>();
        LogCapture logs;
        for (const char* address : {"http://localhost:8080/releases/latest.json", "file:///l"}) {
            const auto refused =
                await(UpdateChecker::checkForUpdate(QUrl(address), session, defaults, "1.0"));
            QVERIFY(refused.value && !*refused.value);
        }
        QVERIFY(session->requests.isEmpty());
        QCOMPARE(logs.startingWith("[Mirvo] update check failed: The update address ").size(), 2);
    }
};

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "UpdateCheckerTest.moc"
