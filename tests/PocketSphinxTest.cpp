#include "core/Transcriber.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "support/Await.h"
#include "support/SpokenText.h"
#include "support/Utilities.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <mutex>

namespace {

// What a task reported, collected from the recognizer's thread.
struct Results {
    RecognitionHandler handler() {
        return [this](const std::optional<RecognitionResult>& r,
                      const std::optional<PlatformError>& e) {
            std::lock_guard lock(mutex);
            if (r)
                (r->isFinal ? finals : partials).push_back(*r);
            if (e)
                errors.push_back(*e);
        };
    }
    bool over() {
        std::lock_guard lock(mutex);
        return !finals.empty() || !errors.empty();
    }
    std::mutex mutex;
    std::vector<RecognitionResult> partials, finals;
    std::vector<PlatformError> errors;
};

} // namespace

class PocketSphinxTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString sentencePath;
    std::shared_ptr<DecoderPool> pool;

    static constexpr const char* sentence =
        "please send the quarterly report to the finance team before noon";

private slots:
    void initTestCase() {
        QVERIFY(!PocketSphinxRecognizer::installedModelDirectory().isEmpty());
        sentencePath = dir.filePath("sentence.wav");
        QVERIFY(SpokenText::synthesize({sentence}, sentencePath));
        pool = std::make_shared<DecoderPool>(
            PocketSphinxRecognizer::installedModelDirectory(),
            PocketSphinxRecognizer::decoderArguments(defaultRecognitionProfile));
    }

    void cleanupTestCase() {
        // Nothing may still load when the process ends.
        pool->waitUntilSettled();
    }

    // Until the model is there, no recognizer; once it is installed, the same provider has one
    // without a restart.
    void theModelCanArriveWhileMirvoRuns() {
        QTemporaryDir model;
        ScopedVariable variable("MIRVO_POCKETSPHINX_MODEL", QFile::encodeName(model.path()));
        QCOMPARE(PocketSphinxRecognizer::installedModelDirectory(), QString());
        const SpeechRecognizerProvider provider = PocketSphinxRecognizer::makeProvider();
        QVERIFY(!provider(QStringLiteral("en-US")));
        auto transcriber =
            std::make_shared<SFTranscriber>(QStringLiteral("en-US"), QStringList{}, provider);
        QVERIFY_THROWS_EXCEPTION(TranscriberError, transcriber->start());

        const QString installed = QStringLiteral("/usr/share/pocketsphinx/model/en-us");
        for (const char* part : {"en-us", "en-us.lm.bin", "cmudict-en-us.dict"})
            QVERIFY(QFile::link(installed + "/" + part, model.filePath(part)));
        QVERIFY(provider(QStringLiteral("en-US")));
        QVERIFY(!provider(QStringLiteral("de-DE")));
    }

    void cancellingStopsPromptly() {
        PocketSphinxRecognizer recognizer(pool);
        auto request = std::make_shared<RecognitionRequest>();
        Results results;
        auto task = recognizer.recognitionTask(request, results.handler());
        const auto speech = SpokenText::load(sentencePath);
        for (int round = 0; round < 12; ++round) // about a minute of audio to chew on
            for (const auto& b : speech)
                request->append(b);
        QTest::qWait(200);
        QElapsedTimer clock;
        clock.start();
        task->cancel();
        QTRY_VERIFY_WITH_TIMEOUT(results.over(), 2000);
        QVERIFY(clock.elapsed() < 500);
        QVERIFY(results.finals.empty());
        QCOMPARE(results.errors.at(0).code(), 301L);
        QCOMPARE(results.errors.at(0).localizedDescription(),
                 QStringLiteral("Recognition request was canceled"));
    }
};

QTEST_GUILESS_MAIN(PocketSphinxTest)
#include "PocketSphinxTest.moc"
