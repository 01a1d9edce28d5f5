#include "mirvo/MirvoConfig.h"
#include "platform/JSONDecoding.h"
#include "support/LogCapture.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

const char* secret = "sk-live-7f3a9c";

QJsonObject validObject() {
    return QJsonObject{
        {"proxyBaseURL", "https://proxy.example/api"},
        {"proxyKey", secret},
        {"clientId", "laptop-1"},
        {"transcribeTargets", QJsonArray{QJsonObject{{"path", "/v1/a"}, {"model", "m1"}},
                                         QJsonObject{{"path", "/v1/b"}, {"model", "m2"}}}},
        {"chatPath", "/v1/chat/completions"},
        {"polishModel", "small-chat"},
        {"enableCloudTranscription", true},
        {"enablePolish", false},
    };
}

QByteArray json(const QJsonObject& o) {
    return QJsonDocument(o).toJson();
}

// The decode error for `data`, or empty when it decodes.
QString decodeError(const QByteArray& data) {
    try {
        MirvoConfig::decode(data);
        return {};
    } catch (const DecodingError& e) {
        return e.message();
    }
}

} // namespace

class MirvoConfigTest : public QObject {
    Q_OBJECT

private slots:
    void decodesEveryField() {
        const MirvoConfig c = MirvoConfig::decode(json(validObject()));
        QCOMPARE(c.proxyBaseURL, QStringLiteral("https://proxy.example/api"));
        QCOMPARE(c.proxyKey, QString::fromLatin1(secret));
        QCOMPARE(c.clientId, QStringLiteral("laptop-1"));
        QVERIFY(c.transcribeTargets == (QList<TranscribeTarget>{{"/v1/a", "m1"}, {"/v1/b", "m2"}}));
        QVERIFY(!c.transcribePath && !c.transcribeModel);
        QCOMPARE(c.chatPath, QStringLiteral("/v1/chat/completions"));
        QCOMPARE(c.polishModel, QStringLiteral("small-chat"));
        QVERIFY(c.enableCloudTranscription);
        QVERIFY(!c.enablePolish);

        // Optional keys may be null; unknown keys are ignored.
        QJsonObject o = validObject();
        o["transcribeTargets"] = QJsonValue::Null;
        o["transcribePath"] = QJsonValue::Null;
        o["//"] = "a comment";
        o["extra"] = QJsonObject{{"nested", 1}};
        QVERIFY(!MirvoConfig::decode(json(o)).transcribeTargets);

        for (const char* local : {"http://127.0.0.1:8080", "http://localhost/api", "http://[::1]:9",
                                  "HTTPS://proxy.example"}) {
            o = validObject();
            o["proxyBaseURL"] = local;
            QCOMPARE(MirvoConfig::decode(json(o)).proxyBaseURL, QString::fromLatin1(local));
        }
    }

    void rejectsTheWholeFileOnAnyFault_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << QByteArray() << "the data is empty, not JSON";
        QTest::newRow("blank") << QByteArray(" \n") << "the data is empty, not JSON";
        QTest::newRow("empty object") << QByteArray("{}") << "key \"proxyBaseURL\" not found";
        QTest::newRow("array") << QByteArray("[1]")
                               << "expected a JSON object at the top level, found an array";
        QTest::newRow("binary") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0", 11)
                                << "the data is not valid JSON (illegal value at byte 1)";
        QTest::newRow("truncated") << json(validObject()).left(40)
                                   << "the data is not valid JSON (unterminated string at byte 40)";
        for (const char* key : {"proxyBaseURL", "proxyKey", "clientId", "chatPath", "polishModel",
                                "enableCloudTranscription", "enablePolish"}) {
            QJsonObject o = validObject();
            o.remove(key);
            QTest::newRow(qPrintable(QStringLiteral("missing %1").arg(key)))
                << json(o) << QStringLiteral("key \"%1\" not found").arg(key);
            o[key] = QJsonValue::Null;
            const bool isSwitch = QByteArray(key).startsWith("enable");
            QTest::newRow(qPrintable(QStringLiteral("null %1").arg(key)))
                << json(o)
                << QStringLiteral("key \"%1\" is null; expected %2")
                       .arg(key, isSwitch ? "a boolean" : "a string");
        }
        QJsonObject o = validObject();
        o["enablePolish"] = "true";
        QTest::newRow("switch as string")
            << json(o)
            << "key \"enablePolish\" has the wrong type: expected a boolean, found a string";
        o = validObject();
        o["enableCloudTranscription"] = 1;
        QTest::newRow("switch as number")
            << json(o)
            << "key \"enableCloudTranscription\" has the wrong type: expected a boolean, found a "
               "number";
        o = validObject();
        o["proxyKey"] = 424242;
        QTest::newRow("key as number")
            << json(o) << "key \"proxyKey\" has the wrong type: expected a string, found a number";
        o = validObject();
        o["transcribeTargets"] =
            QJsonArray{QJsonObject{{"path", "/a"}, {"model", "m"}}, QJsonObject{{"path", "/b"}}};
        QTest::newRow("target without model")
            << json(o) << "key \"transcribeTargets[1].model\" not found";
        o["transcribeTargets"] = QJsonArray{QJsonObject{{"model", "m"}}};
        QTest::newRow("target without path")
            << json(o) << "key \"transcribeTargets[0].path\" not found";
        o["transcribeTargets"] = QJsonArray{"/a"};
        QTest::newRow("target not an object")
            << json(o)
            << "\"transcribeTargets[0]\" has the wrong type: expected an object, found a string";
        o["transcribeTargets"] = QJsonObject{{"path", "/a"}};
        QTest::newRow("targets not an array")
            << json(o)
            << "key \"transcribeTargets\" has the wrong type: expected an array, found an object";
        // The key and the recordings go only where nobody else reads them, and a value that
        // would start a header of its own is refused.
        const QString baseRule =
            "key \"proxyBaseURL\" must be an https URL (or http to this computer)";
        for (const char* base : {"http://proxy.example/api", "ftp://proxy.example", "proxy",
                                 "http://127.0.0.1.example.org"}) {
            o = validObject();
            o["proxyBaseURL"] = base;
            QTest::newRow(base) << json(o) << baseRule;
        }
        for (const char* key : {"proxyKey", "clientId"})
            for (const char* value : {"k\r\nx-injected: 1", "k\nx", "k\tx"}) {
                o = validObject();
                o[key] = value;
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(key, value)))
                    << json(o)
                    << QStringLiteral("key \"%1\" holds a control character (a line break, say)")
                           .arg(key);
            }
        // Switched off, the file must still be complete.
        o = validObject();
        o["enableCloudTranscription"] = false;
        o["enablePolish"] = false;
        o.remove("chatPath");
        QTest::newRow("both off, no chat path") << json(o) << "key \"chatPath\" not found";
    }

    void rejectsTheWholeFileOnAnyFault() {
        QFETCH(QByteArray, data);
        QFETCH(QString, message);
        const QString error = decodeError(data);
        QCOMPARE(error, message);
        QVERIFY(!error.contains(QLatin1String(secret)));
    }

    void resolvesTranscriptionTargets() {
        QJsonObject o = validObject();
        const QList<TranscribeTarget> both{{"/v1/a", "m1"}, {"/v1/b", "m2"}};
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets() == both);

        // The array wins over the older keys whenever it has entries.
        o["transcribePath"] = "/legacy";
        o["transcribeModel"] = "legacy-model";
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets() == both);

        // An empty array falls back to the older pair.
        o["transcribeTargets"] = QJsonArray{};
        const QList<TranscribeTarget> legacy{{"/legacy", "legacy-model"}};
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets() == legacy);
        o.remove("transcribeTargets");
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets() == legacy);

        // Half of the pair is nothing.
        o.remove("transcribeModel");
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets().isEmpty());

        // Cloud transcription off: never any targets.
        o = validObject();
        o["enableCloudTranscription"] = false;
        QVERIFY(MirvoConfig::decode(json(o)).resolvedTargets().isEmpty());
    }

    void loadsFromDiskAndLogsEveryOutcome() {
        QTemporaryDir dir;
        LogCapture logs;
        const QString missing = dir.filePath("nope/config.json");
        QVERIFY(!MirvoConfig::load(missing));
        QCOMPARE(logs.lines(),
                 QStringList{"[Mirvo/Config] no config at " + missing + " — running fully local"});

        const QString good = dir.filePath("config.json");
        QJsonObject o = validObject();
        o["enablePolish"] = false;
        {
            QFile f(good);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(json(o));
        }
        QVERIFY(QFile::setPermissions(good, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        logs.clear();
        const auto loaded = MirvoConfig::load(good);
        QVERIFY(loaded && loaded->enableCloudTranscription);
        QCOMPARE(logs.lines(),
                 QStringList{"[Mirvo/Config] loaded " + good + " cloud=true polish=false"});

        // Readable by others: it holds the key, so one warning, and it is used all the same.
        QVERIFY(QFile::setPermissions(good, QFile::permissions(good) | QFileDevice::ReadOther));
        logs.clear();
        QVERIFY(MirvoConfig::load(good));
        QCOMPARE(logs.lines(),
                 (QStringList{"[Mirvo/Config] " + good +
                                  " can be read by other users, and it holds the proxy key: "
                                  "chmod 600 it",
                              "[Mirvo/Config] loaded " + good + " cloud=true polish=false"}));

        // Changeable by others: what it says cannot be trusted with the key and the audio.
        const QString shared = dir.filePath("shared/config.json");
        QVERIFY(QDir().mkpath(dir.filePath("shared")));
        QVERIFY(QFile::copy(good, shared));
        const auto refused = [&](const QString& path, const QString& why) {
            logs.clear();
            return !MirvoConfig::load(path) &&
                   logs.lines() == QStringList{"[Mirvo/Config] not using " + path + ": " + why +
                                               " — running fully local"};
        };
        QVERIFY(QFile::setPermissions(shared, QFile::permissions(good) | QFileDevice::WriteGroup));
        QVERIFY(refused(shared, "other users can change it (chmod 600 it)"));
        QVERIFY(QFile::setPermissions(shared, QFile::permissions(good)));
        QVERIFY(QFile::setPermissions(dir.filePath("shared"), QFileDevice::Permissions(0x7777)));
        QVERIFY(refused(shared,
                        "its folder " + dir.filePath("shared") + " can be changed by other users"));
        QVERIFY(QFile::setPermissions(dir.filePath("shared"), QFileDevice::Permissions(0x7700)));
        if (::getuid() == 0) {
            QVERIFY(::chown(QFile::encodeName(shared).constData(), 65534, 65534) == 0);
            QVERIFY(refused(shared, "it belongs to another user"));
        }

        const QString empty = dir.filePath("empty.json");
        QFile(empty).open(QIODevice::WriteOnly);
        const QString huge = dir.filePath("huge.json");
        {
            QFile f(huge);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(3 << 20, ' '));
        }
        const QString unreadable = dir.filePath("unreadable.json");
        QFile::copy(good, unreadable);
        QFile::setPermissions(unreadable, QFileDevice::Permissions());
        const bool runningAsRoot = QFile(unreadable).open(QIODevice::ReadOnly);

        const QList<std::pair<QString, QString>> bad = {
            {empty, "the data is empty, not JSON"},
            {dir.path(), "it is a directory, not a file"},
            {huge, "the file is 3145728 bytes; a configuration file is at most 1048576 bytes"},
            {unreadable, "cannot read the file: Permission denied"},
        };
        for (const auto& [path, reason] : bad) {
            if (path == unreadable && runningAsRoot)
                continue; // root reads everything
            logs.clear();
            QVERIFY(!MirvoConfig::load(path));
            QCOMPARE(logs.lines(),
                     QStringList{"[Mirvo/Config] failed to decode " + path + ": " + reason});
        }
    }
};

QTEST_GUILESS_MAIN(MirvoConfigTest)
#include "MirvoConfigTest.moc"
