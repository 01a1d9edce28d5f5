// Recognition accuracy and end-of-utterance cost on a broad corpus: the sentences of the tests
// and of bench/data, spoken by five voices of three synthesizers, some with a pause inside.
// Prints the shipped profiles' figures as "NAME VALUE UNIT"; with --sweep, a table of decoder
// configurations instead, and with --try OPTION VALUE …, the row of those options.
#include "Figures.h"
#include "SpeechCorpus.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "support/SpokenText.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <future>
#include <map>
#include <thread>

namespace {

struct Clip {
    QString voice;
    QStringList reference;
    bool pause = false;
    // Two sentences spoken as one, about six seconds without a pause: for the end-of-utterance
    // time, not for accuracy.
    bool joined = false;
    std::vector<AudioBufferPtr> audio;
    double seconds = 0;
};

QStringList allSentences() {
    QStringList sentences = SpokenText::sentences();
    QFile more(QStringLiteral(MIRVO_SOURCE_DIR "/bench/data/broad-sentences.txt"));
    if (more.open(QIODevice::ReadOnly))
        sentences += QString::fromUtf8(more.readAll()).split('\n', Qt::SkipEmptyParts);
    return sentences;
}

// Both halves of the sentence with half a second of silence between them.
bool speakWithPause(const Voice& voice, const QStringList& words, const QString& path) {
    const qsizetype half = words.size() / 2;
    const QString a = path + ".a.wav", b = path + ".b.wav", padded = path + ".p.wav";
    const bool ok = speak(voice, words.mid(0, half).join(' '), a) &&
                    speak(voice, words.mid(half).join(' '), b) &&
                    Subprocess::run("sox", {a, padded, "pad", "0", "0.5"}) &&
                    Subprocess::run("sox", {padded, b, path});
    for (const QString& f : {a, b, padded})
        QFile::remove(f);
    return ok;
}

// The corpus, synthesized once into `dir` and read from there afterwards.
std::vector<Clip> buildCorpus(const QString& dir) {
    const QStringList sentences = allSentences();
    struct Job {
        Voice voice;
        QString text;
        bool pause;
        bool joined;
        QString path;
    };
    std::vector<Job> jobs;
    for (const Voice& voice : voices) {
        const QString folder = dir + "/" + voice.name + "/";
        QDir().mkpath(folder);
        for (int i = 0; i < sentences.size(); ++i) {
            jobs.push_back(
                {voice, sentences[i], false, false, folder + QString::number(i) + ".wav"});
            if (i % 4 == 1)
                jobs.push_back(
                    {voice, sentences[i], true, false, folder + QString::number(i) + "p.wav"});
        }
    }
    for (int i = 0; i < 9; ++i)
        jobs.push_back({voices[0], sentences[2 * i] + " " + sentences[2 * i + 1], false, true,
                        dir + "/" + voices[0].name + "/joined" + QString::number(i) + ".wav"});
    std::atomic<size_t> next{0};
    auto synthesize = [&] {
        for (size_t j; (j = next++) < jobs.size();) {
            const Job& job = jobs[j];
            if (QFileInfo::exists(job.path))
                continue;
            const bool ok = job.pause
                                ? speakWithPause(job.voice, SpokenText::words(job.text), job.path)
                                : speak(job.voice, job.text, job.path);
            if (!ok)
                std::fprintf(stderr, "cannot synthesize %s\n", qPrintable(job.path));
        }
    };
    std::thread helper(synthesize);
    synthesize();
    helper.join();

    std::vector<Clip> clips;
    for (const Job& job : jobs) {
        if (!QFileInfo::exists(job.path))
            continue;
        Clip clip{job.voice.name, SpokenText::words(job.text), job.pause,
                  job.joined,     SpokenText::load(job.path),  0};
        for (const auto& b : clip.audio)
            clip.seconds += b->frameLength() / double(speechSampleRate);
        clips.push_back(std::move(clip));
    }
    return clips;
}

struct Evaluation {
    double overallWer = 0;
    double worstVoiceWer = 0;
    QString worstVoice;
    std::map<QString, double> voiceWer;
    double endOfUtteranceMs = 0;
    double xRealtime = 0;
};

Evaluation evaluate(const QString& model, const QStringList& arguments,
                    const std::vector<Clip>& clips, bool timings) {
    auto pool = DecoderPool::make(model, arguments);
    pool->prepare();
    pool->waitUntilSettled();
    PocketSphinxRecognizer recognizer(pool);

    // Accuracy: every clip, two at a time (one per decoder).
    std::map<QString, std::pair<int, int>> perVoice; // edits, reference words
    std::vector<std::shared_ptr<RecognitionTask>> tasks(clips.size());
    std::vector<std::future<QString>> heard;
    for (size_t i = 0; i < clips.size(); ++i)
        heard.push_back(recognise(recognizer, clips[i].audio, tasks[i]));
    int edits = 0, words = 0;
    for (size_t i = 0; i < clips.size(); ++i) {
        if (clips[i].joined) {
            heard[i].wait();
            continue;
        }
        const int e = SpokenText::wordEdits(clips[i].reference, SpokenText::words(heard[i].get()));
        perVoice[clips[i].voice].first += e;
        perVoice[clips[i].voice].second += int(clips[i].reference.size());
        edits += e;
        words += int(clips[i].reference.size());
    }
    Evaluation result;
    result.overallWer = 100.0 * edits / words;
    for (const auto& [voice, counts] : perVoice) {
        result.voiceWer[voice] = 100.0 * counts.first / counts.second;
        if (result.voiceWer[voice] > result.worstVoiceWer) {
            result.worstVoiceWer = result.voiceWer[voice];
            result.worstVoice = voice;
        }
    }
    if (!timings)
        return result;

    // Speed on one core: one clip at a time.
    double audio = 0;
    QElapsedTimer clock;
    clock.start();
    for (size_t i = 0; i < clips.size() && audio < 120; ++i) {
        std::shared_ptr<RecognitionTask> task;
        recognise(recognizer, clips[i].audio, task).get();
        audio += clips[i].seconds;
    }
    result.xRealtime = audio / (clock.nsecsElapsed() / 1e9);

    // End of utterance: a pause-free sentence of about six seconds fed at three times real
    // time (the decoder keeps up), from the end of the audio to the final text.
    std::vector<double> latencies;
    for (const Clip& clip : clips) {
        if (!clip.joined)
            continue;
        auto done = std::make_shared<std::promise<void>>();
        auto request = std::make_shared<RecognitionRequest>();
        auto task =
            recognizer.recognitionTask(request, [done](const std::optional<RecognitionResult>& r,
                                                       const std::optional<MirvoError>& e) {
                if (e || (r && r->isFinal))
                    done->set_value();
            });
        QElapsedTimer pace;
        pace.start();
        double fed = 0;
        for (const auto& b : clip.audio) {
            request->append(b);
            fed += b->frameLength() / double(speechSampleRate);
            const qint64 due = qint64(fed * 1000 / 3) - pace.elapsed();
            if (due > 0)
                QThread::msleep(quint64(due));
        }
        QThread::msleep(100); // the last buffer is decoded
        QElapsedTimer ending;
        ending.start();
        request->endAudio();
        done->get_future().wait();
        latencies.push_back(ending.nsecsElapsed() / 1e6);
    }
    result.endOfUtteranceMs = percentile(latencies, 0.5);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString model = speechModelOrComplain();
    if (model.isEmpty())
        return 1;
    const std::vector<Clip> clips = buildCorpus(QStringLiteral(MIRVO_CORPUS_DIR));
    double seconds = 0;
    for (const Clip& c : clips)
        seconds += c.seconds;
    std::fprintf(stderr, "corpus: %zu clips, %.0f s of speech\n", clips.size(), seconds);

    // --try OPTION VALUE …: one row for the decoder options given.
    const QStringList given = app.arguments();
    const bool trying = given.size() > 1 && given[1] == "--try";
    if (trying || given.contains("--sweep")) {
        QList<std::pair<QString, QStringList>> configs = {
            {"today (second pass, best path)", {}},
            {"second pass off", {"-fwdflat", "no"}},
            {"second pass off, best path off", {"-fwdflat", "no", "-bestpath", "no"}},
            {"wide beams, second pass off",
             {"-fwdflat", "no", "-beam", "1e-60", "-wbeam", "1e-50", "-pbeam", "1e-60"}},
            {"wide beams, second pass off, best path off",
             {"-fwdflat", "no", "-bestpath", "no", "-beam", "1e-60", "-wbeam", "1e-50", "-pbeam",
              "1e-60"}},
            {"wide beams, second pass off, lattice beams tight",
             {"-fwdflat", "no", "-beam", "1e-60", "-wbeam", "1e-50", "-pbeam", "1e-60", "-lpbeam",
              "1e-20", "-lponlybeam", "1e-20"}},
            {"second pass off, utterance ends after 0.3 s",
             {"-fwdflat", "no", "-vad_postspeech", "30"}},
            {"second pass off, utterance ends after 1.0 s",
             {"-fwdflat", "no", "-vad_postspeech", "100"}},
        };
        if (trying)
            configs = {{given.mid(2).join(' '), given.mid(2)}};
        std::printf("| configuration | overall WER %% | worst voice WER %% | end of utterance ms "
                    "p50 | decode x real time |\n|---|---|---|---|---|\n");
        for (const auto& [name, arguments] : configs) {
            const Evaluation e = evaluate(model, arguments, clips, true);
            std::printf("| %s | %.1f | %.1f (%s) | %.0f | %.1f |\n", qPrintable(name), e.overallWer,
                        e.worstVoiceWer, qPrintable(e.worstVoice), e.endOfUtteranceMs, e.xRealtime);
            for (const auto& [voice, wer] : e.voiceWer)
                std::fprintf(stderr, "  %s %s %.1f\n", qPrintable(name), qPrintable(voice), wer);
            std::fflush(stdout);
        }
        return 0;
    }

    // The shipped default, then the other profile.
    const Evaluation shipped = evaluate(
        model, PocketSphinxRecognizer::decoderArguments(defaultRecognitionProfile), clips, true);
    figure("broad_wer_percent", shipped.overallWer, "%");
    figure("broad_worst_voice_wer_percent", shipped.worstVoiceWer, "%");
    for (const auto& [voice, wer] : shipped.voiceWer)
        figure(qPrintable("broad_wer_percent_" + voice), wer, "%");
    figure("end_of_utterance_ms_p50", shipped.endOfUtteranceMs, "ms");
    const RecognitionProfile other = defaultRecognitionProfile == RecognitionProfile::fast
                                         ? RecognitionProfile::accurate
                                         : RecognitionProfile::fast;
    const Evaluation alternative =
        evaluate(model, PocketSphinxRecognizer::decoderArguments(other), clips, true);
    figure(qPrintable("broad_wer_percent_" + recognitionProfileName(other)), alternative.overallWer,
           "%");
    figure(qPrintable("end_of_utterance_ms_p50_" + recognitionProfileName(other)),
           alternative.endOfUtteranceMs, "ms");
    return 0;
}
