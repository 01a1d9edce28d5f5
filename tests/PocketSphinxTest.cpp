#include "core/PCMAccumulator.h"
#include "core/Transcriber.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "support/Await.h"
#include "support/Signals.h"
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
    size_t count(const std::vector<RecognitionResult>& v) {
        std::lock_guard lock(mutex);
        return v.size();
    }
    bool over() {
        std::lock_guard lock(mutex);
        return !finals.empty() || !errors.empty();
    }
    std::mutex mutex;
    std::vector<RecognitionResult> partials, finals;
    std::vector<PlatformError> errors;
};

// 44.1 kHz stereo float, as a desktop microphone delivers it.
std::vector<AudioBufferPtr> asMicrophone(const std::vector<AudioBufferPtr>& speech) {
    PCMAccumulator mono; // 16 kHz int16 store of the speech
    for (const auto& b : speech)
        mono.append(b);
    const QByteArray wav = mono.makeWAV();
    std::vector<int16_t> s(size_t(wav.size() - 44) / 2);
    std::memcpy(s.data(), wav.constData() + 44, s.size() * 2);
    const auto format = makeAudioFormat(44100, 2, SampleType::float32, true);
    return Signals::buffers(format, double(s.size()) / 16000.0, 1024, [&](double t, int) {
        const double at = t * 16000.0;
        const size_t i = std::min(size_t(at), s.size() - 2);
        const double frac = at - double(i);
        return float(((1 - frac) * s[i] + frac * s[i + 1]) / 32768.0);
    });
}

} // namespace

class PocketSphinxTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString sentencePath;
    std::shared_ptr<DecoderPool> pool;

    static constexpr const char* sentence =
        "please send the quarterly report to the finance team before noon";

    static double sentenceErrorRate(const QString& heard) {
        return SpokenText::wordErrorRate(SpokenText::words(sentence), SpokenText::words(heard));
    }

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

    void recognisesSpeechInAnyFormat_data() {
        QTest::addColumn<int>("profile");
        QTest::newRow("fast") << int(RecognitionProfile::fast);
        QTest::newRow("accurate") << int(RecognitionProfile::accurate);
    }

    void recognisesSpeechInAnyFormat() {
        QFETCH(int, profile);
        const auto shipped =
            RecognitionProfile(profile) == defaultRecognitionProfile
                ? pool
                : std::make_shared<DecoderPool>(
                      PocketSphinxRecognizer::installedModelDirectory(),
                      PocketSphinxRecognizer::decoderArguments(RecognitionProfile(profile)));
        PocketSphinxRecognizer recognizer(shipped);
        auto request = std::make_shared<RecognitionRequest>();
        request->shouldReportPartialResults = true;
        request->contextualStrings = {"quarterly"}; // accepted, not required
        Results results;
        auto task = recognizer.recognitionTask(request, results.handler());
        const auto speech = asMicrophone(SpokenText::load(sentencePath));
        const size_t half = speech.size() / 2;
        for (size_t i = 0; i < half; ++i)
            request->append(speech[i]);
        // Partial results come while the audio is still arriving.
        QTRY_VERIFY_WITH_TIMEOUT(results.count(results.partials) > 0, 10000);
        QVERIFY(results.count(results.finals) == 0);
        for (size_t i = half; i < speech.size(); ++i)
            request->append(speech[i]);
        request->endAudio();
        QTRY_VERIFY_WITH_TIMEOUT(results.over(), 20000);

        QCOMPARE(results.finals.size(), size_t(1));
        QVERIFY(results.errors.empty());
        const RecognitionResult& final = results.finals[0];
        QVERIFY(final.isFinal);
        const QStringList words = final.formattedString.split(' ');
        QCOMPARE(size_t(words.size()), final.segmentTimestamps.size());
        QVERIFY(std::is_sorted(final.segmentTimestamps.begin(), final.segmentTimestamps.end()));
        QVERIFY(final.segmentTimestamps.back() < 6.0);
        for (const QString& w : words)
            QVERIFY2(!w.isEmpty() && !w.contains('<') && !w.contains('[') && !w.contains('('),
                     qPrintable(final.formattedString));
        QVERIFY2(sentenceErrorRate(final.formattedString) <= 25, qPrintable(final.formattedString));
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
