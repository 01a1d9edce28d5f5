#include "core/UpdateChecker.h"
#include "doubles/FakePlatform.h"
#include "platform/linux/desktop/NetworkHTTPSession.h"
#include "support/Await.h"
#include "support/LogCapture.h"
#include "support/LoopbackHTTPServer.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTest>

namespace {

using Response = LoopbackHTTPServer::Response;
using Behaviour = Response::Behaviour;
constexpr auto newer = ComparisonResult::orderedDescending;
constexpr auto older = ComparisonResult::orderedAscending;
constexpr auto same = ComparisonResult::orderedSame;

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

class UpdateCheckerTest : public QObject {
    Q_OBJECT

private slots:
    void versionsCompareByNumericPieces() {
        const QList<std::tuple<QString, QString, ComparisonResult>> cases = {
            {"1.10", "1.9", newer},     {"1.2.3-beta", "1.2.0", same},
            {"v2.0.0", "1.5.0", older}, {"1.5.0.1", "1.5", newer},
            {"1.0.-1", "1.0", older},   {"1..2.", "1.2", same},
            {"", "0.0.1", older},       {"99999999999999999999", "1", older}, // overflow: 0
            {"1. 2", "1.0", same},      {"2", "10", older},
        };
        for (const auto& [a, b, expected] : cases) {
            QVERIFY2(UpdateChecker::compareVersions(a, b) == expected, qPrintable(a + " vs " + b));
            QVERIFY2(UpdateChecker::compareVersions(b, a) == ComparisonResult(-int(expected)),
                     qPrintable(b + " vs " + a));
        }
    }

    void manifestsDecodeStrictly() {
        const auto decoded = UpdateChecker::decodeManifest(json(validManifest()));
        QVERIFY(decoded);
        QCOMPARE(decoded->version, QStringLiteral("2.0.0"));
        QCOMPARE(decoded->sizeBytes, std::optional<qint64>(123456));
        QCOMPARE(UpdateChecker::decodeManifest(with("sizeBytes", QJsonValue::Undefined))->sizeBytes,
                 std::nullopt);
        QCOMPARE(UpdateChecker::decodeManifest(with("sizeBytes", QJsonValue::Null))->sizeBytes,
                 std::nullopt);
        QVERIFY(UpdateChecker::decodeManifest(with("extra", QJsonArray{1, 2})));
        for (const char* key :
             {"version", "publishedAt", "minimumSystemVersion", "downloadUrl", "sha256"}) {
            QVERIFY2(!UpdateChecker::decodeManifest(with(key, QJsonValue::Undefined)), key);
            QVERIFY2(!UpdateChecker::decodeManifest(with(key, QJsonValue::Null)), key);
            QVERIFY2(!UpdateChecker::decodeManifest(with(key, 2)), key);
        }
        for (const QJsonValue& wrongSize : {QJsonValue("12"), QJsonValue(1.5), QJsonValue(true)})
            QVERIFY(!UpdateChecker::decodeManifest(with("sizeBytes", wrongSize)));
        for (const QByteArray& notOne : {QByteArray(), QByteArray("[]"), QByteArray("null"),
                                         QByteArray("{\"version\": \"2\""), QByteArray("\xff")})
            QVERIFY2(!UpdateChecker::decodeManifest(notOne), notOne.constData());
    }

    void checksAgainstALoopbackServer() {
        struct Case {
            const char* name;
            QList<Response> responses;
            QString current;
            std::optional<QString> remote; // the update found, if any
            QString failure;               // the logged and explained reason, if any
        };
        const QString notManifest = "The update server's answer is not a release manifest (";
        const QList<Case> cases = {
            {"newer", {{200, json(validManifest())}}, "1.5.0", "2.0.0", {}},
            {"equal", {{200, with("version", "1.5.0")}}, "1.5.0", {}, {}},
            {"wrong type",
             {{200, with("version", 2)}},
             "1.0",
             {},
             notManifest + "key \"version\" has the wrong type: expected a string, found a "
                           "number)."},
            {"not JSON", {{200, "<html>"}}, "1.0", {}, notManifest},
            {"203", {{203, json(validManifest())}}, "1.0", "2.0.0", {}},
            {"204", {{204, ""}}, "1.0", {}, notManifest},
            {"304", {{304, json(validManifest())}}, "1.0", {}, "The update server answered 304."},
            {"404", {{404, "{}"}}, "1.0", {}, "The update server answered 404."},
            {"5 MiB",
             {{200, QByteArray(5 << 20, ' ') + json(validManifest())}},
             "1.0",
             {},
             "The update server's answer is larger than 1024 KiB."},
            {"drip",
             {{200, json(validManifest()), Behaviour::drip}},
             "1.0",
             {},
             "The update server did not answer within 1.5 seconds."},
            {"silent",
             {{200, {}, Behaviour::stall}},
             "1.0",
             {},
             "The update server did not answer within 1.5 seconds."},
        };
        QList<std::pair<QString, QString>> schemes = {
            {"file:///etc/passwd", "the scheme \"file\""},
            {"http://releases.example.org/mirvo.deb", "the scheme \"http\""},
            {"releases.example.org/mirvo.deb", "no scheme"},
        };
        QList<Case> all = cases;
        all.append({"redirect", {}, "1.0", "2.0.0", {}});
        for (const auto& [url, said] : schemes)
            all.append({"download URL",
                        {{200, with("downloadUrl", url)}},
                        "1.0",
                        {},
                        "The release's download address has " + said});

        auto defaults = std::make_shared<FakeUserDefaults>();
        for (const Case& c : all) {
            // A session per case: a kept-alive connection must not outlive its server.
            auto session = std::make_shared<NetworkHTTPSession>();
            LoopbackHTTPServer server;
            for (const Response& r : c.responses)
                server.enqueue(r);
            if (QByteArray(c.name) == "redirect") {
                // By path: a client may send a request again.
                server.route(
                    "/releases/latest.json",
                    {302, {}, Behaviour::answer, "text/plain", {{"Location", "/elsewhere.json"}}});
                server.route("/elsewhere.json", {200, json(validManifest())});
            }
            LogCapture logs;
            QElapsedTimer clock;
            clock.start();
            const auto outcome =
                await(UpdateChecker::check(QUrl(server.baseURL() + "/releases/latest.json"),
                                           session, defaults, c.current, {1.5, 1024 * 1024}));
            QVERIFY2(outcome.value, c.name);
            const UpdateCheckResult& result = *outcome.value;
            QVERIFY2(clock.elapsed() < 4000, c.name);
            QVERIFY2((result.update ? std::optional(result.update->remoteVersion) : std::nullopt) ==
                         c.remote,
                     qPrintable(QString(c.name) + ": " + result.failure));
            QVERIFY2(result.failure.startsWith(c.failure) &&
                         result.failure.isEmpty() == c.failure.isEmpty(),
                     qPrintable(QString(c.name) + ": " + result.failure));
            const QStringList said = logs.startingWith("[Mirvo] update check failed: ");
            QCOMPARE(said.size(), c.failure.isEmpty() ? 0 : 1);
            if (!said.isEmpty())
                QCOMPARE(said.first(), "[Mirvo] update check failed: " + result.failure);
            if (result.update) {
                QCOMPARE(result.update->currentVersion, c.current);
                QCOMPARE(result.update->downloadUrl,
                         QUrl("https://releases.example.org/mirvo_2.0.0_amd64.deb"));
                QCOMPARE(result.update->publishedAt, QStringLiteral("2026-12-01T09:00:00Z"));
            }
            QCOMPARE(LoopbackHTTPServer::requestLine(server.requests().value(0)),
                     QByteArray("GET /releases/latest.json HTTP/1.1"));
        }
    }

    void nothingIsFetchedWhenSuppressedOrNotHttps() {
        auto session = std::make_shared<FakeHTTPSession>();
        auto defaults = std::make_shared<FakeUserDefaults>();
        defaults->setValue(UpdateChecker::suppressedKey, true);
        LogCapture logs;
        const auto suppressed = await(UpdateChecker::check(
            QUrl("https://releases.example.org/releases/latest.json"), session, defaults, "1.0"));
        QVERIFY(!suppressed.value->update && suppressed.value->failure.isEmpty());

        defaults->setValue(UpdateChecker::suppressedKey, false);
        for (const char* address : {"http://releases.example.org/releases/latest.json",
                                    "http://localhost:8080/releases/latest.json",
                                    "file:///dev/null", "ftp://127.0.0.1/latest.json"}) {
            const auto refused =
                await(UpdateChecker::checkForUpdate(QUrl(address), session, defaults, "1.0"));
            QVERIFY(refused.value && !*refused.value);
        }
        QVERIFY(session->requests.isEmpty());
        QCOMPARE(logs.startingWith("[Mirvo] update check failed: The update address ").size(), 4);

        // A refused connection; the default address and version this build was given.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();
        const auto refused = await(
            UpdateChecker::check(QUrl(QStringLiteral("http://127.0.0.1:%1/latest.json").arg(port)),
                                 std::make_shared<NetworkHTTPSession>(), defaults));
        QVERIFY(refused.value->failure.startsWith("The update server could not be reached ("));
    }
};

QTEST_GUILESS_MAIN(UpdateCheckerTest)
#include "UpdateCheckerTest.moc"
