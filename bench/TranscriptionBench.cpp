// Figures of the on-device transcription path, printed as "NAME VALUE UNIT".
#include "Figures.h"
#include "SeamRepeats.h"
#include "app/DictationAssembly.h"
#include "core/HybridTranscriber.h"
#include "core/Transcriber.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "support/Await.h"
#include "support/SpokenText.h"
#include "support/Subprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>

namespace {

// One dictation through the on-device transcriber, fed as fast as it takes it; with a clock
// that follows the audio, so chunks rotate every `rotation` seconds of it.
QString transcribe(const SpeechRecognizerProvider& provider,
                   const std::vector<AudioBufferPtr>& audio, bool withClock, double rotation = 45) {
    SFTranscriber::Timing timing;
    timing.finishTimeout = 600;
    timing.rotationInterval = rotation;
    double clock = 0;
    if (withClock)
        timing.now = [&clock] { return clock; };
    auto t =
        std::make_shared<SFTranscriber>(QStringLiteral("en-US"), QStringList{}, provider, timing);
    t->start();
    for (const auto& b : audio) {
        clock += b->frameLength() / b->format()->sampleRate;
        t->append(b);
    }
    return await(t->finish(), 600000).value.value_or(QString());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString model = PocketSphinxRecognizer::installedModelDirectory();
    if (model.isEmpty()) {
        std::fprintf(stderr, "the pocketsphinx-en-us model is not installed\n");
        return 1;
    }

    // Memory one ready decoder adds.
    const long before = processStatus("self", "VmRSS");
    auto pool = DecoderPool::make(
        model, PocketSphinxRecognizer::decoderArguments(defaultRecognitionProfile));
    pool->prepare();
    pool->waitUntilSettled();
    figure("decoder_rss_mb", (processStatus("self", "VmRSS") - before) / 1024.0, "MB");
    auto recognizer = std::make_shared<PocketSphinxRecognizer>(pool);
    const SpeechRecognizerProvider provider = [recognizer](const QString&) { return recognizer; };

    // Word error rate over the sentence corpus, ours and the reference recogniser's.
    const QStringList sentences = SpokenText::sentences();
    QStringList allReference, allOurs, allTheirs;
    std::vector<std::vector<AudioBufferPtr>> corpus;
    double audioSeconds = 0;
    for (int i = 0; i < sentences.size(); ++i) {
        const QString path = dir.filePath(QStringLiteral("s%1.wav").arg(i));
        SpokenText::synthesize({sentences[i]}, path);
        corpus.push_back(SpokenText::load(path));
        for (const auto& b : corpus.back())
            audioSeconds += b->frameLength() / double(speechSampleRate);
        allReference += SpokenText::words(sentences[i]);
        allOurs += SpokenText::words(transcribe(provider, corpus.back(), false));
        const QString out = dir.filePath(QStringLiteral("s%1.txt").arg(i));
        Subprocess::run(QStringLiteral("sh"),
                        {QStringLiteral("-c"),
                         QStringLiteral("pocketsphinx_continuous -infile '%1' -hmm '%2/en-us' -lm "
                                        "'%2/en-us.lm.bin' -dict '%2/cmudict-en-us.dict' -logfn "
                                        "/dev/null > '%3'")
                             .arg(path, model, out)},
                        60000);
        QFile text(out);
        text.open(QIODevice::ReadOnly);
        allTheirs += SpokenText::words(QString::fromUtf8(text.readAll()));
    }
    const double localWer = SpokenText::wordErrorRate(allReference, allOurs);
    figure("local_wer_percent", localWer, "%");
    figure("reference_wer_percent", SpokenText::wordErrorRate(allReference, allTheirs), "%");

    // Decoding speed on one core: the corpus through one task at a time.
    {
        QElapsedTimer clock;
        clock.start();
        for (const auto& audio : corpus)
            transcribe(provider, audio, false);
        figure("decode_x_realtime", audioSeconds / (clock.nsecsElapsed() / 1e9), "x");
    }

    // A dictation of more than 150 seconds, with its rotations.
    {
        QStringList spoken = sentences + sentences.mid(0, 16);
        const QString path = dir.filePath(QStringLiteral("long.wav"));
        SpokenText::synthesize(spoken, path);
        const auto audio = SpokenText::load(path);
        const QStringList reference = SpokenText::words(spoken.join(' '));
        const QStringList heard = SpokenText::words(transcribe(provider, audio, true));
        figure("long_dictation_wer_percent", SpokenText::wordErrorRate(reference, heard), "%");
        figure("seam_repeated_words", repeatedRuns(reference, heard), "words");
        // The same audio as one chunk: what the engine does with long speech, without seams.
        const QStringList whole = SpokenText::words(transcribe(provider, audio, true, 1e9));
        figure("long_dictation_one_chunk_wer_percent", SpokenText::wordErrorRate(reference, whole),
               "%");
    }

    // From finish() to the text, with the audio arriving at real-time pace.
    {
        std::vector<double> latencies;
        for (int i = 0; i < 9; ++i) {
            const auto& audio = corpus[size_t(i)];
            auto t =
                std::make_shared<SFTranscriber>(QStringLiteral("en-US"), QStringList{}, provider);
            t->start();
            QElapsedTimer pace;
            pace.start();
            double fed = 0;
            for (const auto& b : audio) {
                t->append(b);
                fed += b->frameLength() / double(speechSampleRate);
                const qint64 due = qint64(fed * 1000) - pace.elapsed();
                if (due > 0)
                    QThread::msleep(quint64(due));
            }
            QElapsedTimer clock;
            clock.start();
            await(t->finish());
            latencies.push_back(clock.nsecsElapsed() / 1e6);
        }
        figure("finish_latency_ms_p50", percentile(latencies, 0.5), "ms");
    }

    // From the factory call to start() returning, with a warm decoder.
    {
        auto factory = makeTranscriberFactory(std::nullopt, nullptr, provider);
        std::vector<double> starts;
        for (int i = 0; i < 21; ++i) {
            pool->waitUntilSettled();
            QElapsedTimer clock;
            clock.start();
            auto t = factory({QStringLiteral("recent words")});
            t->start();
            starts.push_back(clock.nsecsElapsed() / 1e6);
            t->append(corpus[0][0]);
            await(t->finish());
        }
        figure("transcriber_start_ms_p50", percentile(starts, 0.5), "ms");
    }
    return 0;
}
