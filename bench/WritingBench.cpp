// Written text on the device, on corpora synthesized at the first run by the five voices:
// sentences spoken with their punctuation words, scored with case and marks against how they
// are written; short conversations that reuse rare words, with and without the last ten
// transcripts as hints; sentences naming thirty words the dictionary lacks, with them in the
// user's vocabulary. Prints "NAME VALUE UNIT".
#include "Figures.h"
#include "SpeechCorpus.h"
#include "core/DictationFormatter.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "support/SpokenText.h"
#include "support/Utilities.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <future>
#include <thread>

namespace {

const QString data = QStringLiteral(MIRVO_SOURCE_DIR "/bench/data/");

QStringList lines(const QString& file) {
    QStringList out;
    for (const QString& line : QString::fromUtf8(readFile(data + file)).split('\n'))
        if (!line.trimmed().isEmpty() && !line.startsWith('#'))
            out.append(line.trimmed());
    return out;
}

struct Clip {
    QString voice;
    QString spoken;
    QString reference; // as written
    std::vector<AudioBufferPtr> audio;
};

// `sentences` as pairs of spoken and written text, by every voice, made once into `dir`.
std::vector<Clip> corpus(const QString& dir, const QList<std::pair<QString, QString>>& sentences) {
    std::vector<std::pair<Clip, QString>> jobs;
    for (const Voice& voice : voices) {
        QDir().mkpath(dir + "/" + voice.name);
        for (int i = 0; i < sentences.size(); ++i)
            jobs.push_back({{voice.name, sentences[i].first, sentences[i].second, {}},
                            dir + "/" + voice.name + "/" + QString::number(i) + ".wav"});
    }
    std::atomic<size_t> next{0};
    const auto synthesize = [&] {
        for (size_t j; (j = next++) < jobs.size();) {
            const Clip& clip = jobs[j].first;
            const QString& path = jobs[j].second;
            const Voice& voice = *std::find_if(
                voices.begin(), voices.end(), [&](const Voice& v) { return v.name == clip.voice; });
            if (!QFileInfo::exists(path) && !speak(voice, clip.spoken, path))
                std::fprintf(stderr, "cannot synthesize %s\n", qPrintable(path));
        }
    };
    std::thread helper(synthesize);
    synthesize();
    helper.join();
    std::vector<Clip> clips;
    for (auto& [clip, path] : jobs) {
        clip.audio = SpokenText::load(path);
        if (!clip.audio.empty())
            clips.push_back(std::move(clip));
    }
    return clips;
}

// Every clip at once (the pool decodes two at a time); the texts in clip order.
QStringList recogniseAll(SpeechRecognizer& recognizer, const std::vector<Clip>& clips,
                         int taskHint) {
    std::vector<std::future<QString>> pending;
    std::vector<std::shared_ptr<RecognitionTask>> tasks(clips.size());
    for (size_t i = 0; i < clips.size(); ++i)
        pending.push_back(recognise(recognizer, clips[i].audio, tasks[i], taskHint));
    QStringList texts;
    for (auto& text : pending)
        texts.append(text.get());
    return texts;
}

// The recogniser's words as Mirvo writes them, with `vocabulary`'s spellings.
QStringList written(const QStringList& heard, const QStringList& vocabulary) {
    QHash<QString, QString> forms;
    for (const QString& entry : vocabulary)
        forms.insert(entry.toLower(), entry);
    const DictationFormatter rules({true, forms});
    QStringList texts;
    for (const QString& text : heard) {
        RecognitionResult result;
        result.formattedString = text;
        texts.append(rules.format(result).formattedString);
    }
    return texts;
}

// Words with their case, and each mark a token of its own: "At 7:30 PM." → At 7 : 30 PM .
QStringList writtenTokens(const QString& text) {
    static const QRegularExpression token(
        QStringLiteral("[\\p{L}\\p{N}]+(?:'[\\p{L}]+)*|\\n|[^\\s\\p{L}\\p{N}]"));
    QStringList tokens;
    for (auto it = token.globalMatch(text); it.hasNext();)
        tokens.append(it.next().captured());
    return tokens;
}

// Lower-case words with the spoken marks taken out.
QStringList plainWords(const QString& text) {
    static const QRegularExpression marks(QStringLiteral(
        "\\b(comma|period|full stop|question mark|exclamation (mark|point)|semicolon|colon|dash|"
        "(open|close) (quote|paren)|new (line|paragraph))\\b"));
    return SpokenText::words(text.toLower().replace(marks, " "));
}

double percentOf(int edits, int words) {
    return words ? 100.0 * edits / words : 0;
}

struct Scores {
    int edits = 0;
    int words = 0;
    void add(const QStringList& reference, const QStringList& hypothesis) {
        edits += SpokenText::wordEdits(reference, hypothesis);
        words += int(reference.size());
    }
    double wer() const { return percentOf(edits, words); }
};

std::shared_ptr<SpeechRecognizer> todaysRecognizer(const QString& model) {
    auto pool = DecoderPool::make(
        model, PocketSphinxRecognizer::decoderArguments(defaultRecognitionProfile));
    return std::make_shared<PocketSphinxRecognizer>(pool);
}

void formatting(const QString& model, const QString& dir) {
    QList<std::pair<QString, QString>> sentences;
    for (const QString& line : lines("punctuated-sentences.txt")) {
        const QStringList parts = line.split(" | ");
        sentences.append({parts[0], QString(parts[1]).replace("\\n", "\n")});
    }
    const std::vector<Clip> clips = corpus(dir + "/punctuated", sentences);
    const QStringList before = recogniseAll(*todaysRecognizer(model), clips, 0);
    const auto shipped = PocketSphinxRecognizer::makeProvider()("en-US");
    const QStringList after =
        written(recogniseAll(*shipped, clips, RecognitionRequest::dictationTaskHint), {});
    Scores formatted, formattedBefore, plain;
    for (size_t i = 0; i < clips.size(); ++i) {
        const QStringList reference = writtenTokens(clips[i].reference);
        formatted.add(reference, writtenTokens(after[qsizetype(i)]));
        formattedBefore.add(reference, writtenTokens(before[qsizetype(i)]));
        plain.add(plainWords(clips[i].spoken), plainWords(before[qsizetype(i)]));
        std::fprintf(stderr, "%s: %s\n", qPrintable(clips[i].voice),
                     qPrintable(QString(after[qsizetype(i)]).replace('\n', "¶")));
    }
    figure("formatted_wer_percent", formatted.wer(), "%");
    figure("formatted_wer_percent_before", formattedBefore.wer(), "%");
    figure("plain_wer_percent", plain.wer(), "%");
}

// What the decoders are given before each clip.
enum class Hints {
    none,
    // The last ten transcripts before it (of the same voice), as the coordinator keeps them.
    transcripts,
    // The same sentences as they were said, as if every earlier one had come out right.
    rightTranscripts,
};

// Each voice's clips in order, one at a time. The broad corpus is scored on the recogniser's own
// words (no dictation hint), so that written numbers do not count as errors there.
double hintedWer(const std::vector<Clip>& clips, Hints hints,
                 int taskHint = RecognitionRequest::dictationTaskHint) {
    // A provider per run: its decoders favour nothing yet.
    const auto recognizer = PocketSphinxRecognizer::makeProvider()("en-US");
    Scores scores;
    QMap<QString, QStringList> transcripts;
    for (const Clip& clip : clips) {
        QStringList& recent = transcripts[clip.voice];
        std::shared_ptr<RecognitionTask> task;
        const QString text =
            recognise(*recognizer, clip.audio, task, taskHint,
                      hints == Hints::none ? QStringList()
                                           : recent.mid(std::max<qsizetype>(0, recent.size() - 10)))
                .get();
        recent.append(hints == Hints::rightTranscripts ? clip.reference : text);
        scores.add(SpokenText::words(clip.reference), SpokenText::words(text));
    }
    return scores.wer();
}

void hints(const QString& dir) {
    QList<std::pair<QString, QString>> conversation, broad;
    for (const QString& line : lines("conversations.txt"))
        conversation.append({line, line});
    for (const QString& line : SpokenText::sentences() + lines("broad-sentences.txt"))
        broad.append({line, line});
    const std::vector<Clip> conversations = corpus(dir + "/conversations", conversation);
    const std::vector<Clip> broadClips = corpus(dir + "/broad", broad);
    const double without = hintedWer(conversations, Hints::none);
    figure("hint_wer_percent_without", without, "%");
    figure("hint_wer_gain_points", without - hintedWer(conversations, Hints::transcripts),
           "points");
    figure("hint_wer_gain_points_right_transcripts",
           without - hintedWer(conversations, Hints::rightTranscripts), "points");
    figure("broad_wer_percent_without_hints", hintedWer(broadClips, Hints::none, 0), "%");
    figure("broad_wer_percent_with_hints", hintedWer(broadClips, Hints::transcripts, 0), "%");
}

void vocabulary(const QString& dir) {
    QList<std::pair<QString, QString>> sentences;
    for (const QString& line : lines("vocabulary-sentences.txt"))
        sentences.append({line, line});
    const std::vector<Clip> clips = corpus(dir + "/vocabulary", sentences);
    const QStringList terms = lines("vocabulary.txt");
    QTemporaryDir config;
    writeFile(config.filePath("vocabulary.txt"), readFile(data + "vocabulary.txt"));
    auto watcher = std::make_shared<VocabularyWatcher>(config.filePath("vocabulary.txt"));
    const auto recognizer = PocketSphinxRecognizer::makeProvider({}, watcher)("en-US");
    const QStringList heard =
        written(recogniseAll(*recognizer, clips, RecognitionRequest::dictationTaskHint), terms);
    int right = 0;
    for (size_t i = 0; i < clips.size(); ++i) {
        const QStringList said = writtenTokens(clips[i].reference);
        const auto term = std::find_if(terms.begin(), terms.end(),
                                       [&](const QString& t) { return said.contains(t); });
        const bool found = writtenTokens(heard[qsizetype(i)]).contains(*term);
        right += found ? 1 : 0;
        if (!found)
            std::fprintf(stderr, "%s missed %s: %s\n", qPrintable(clips[i].voice),
                         qPrintable(*term), qPrintable(heard[qsizetype(i)]));
    }
    figure("vocabulary_recall_percent", percentOf(right, int(clips.size())), "%");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString model = speechModelOrComplain();
    if (model.isEmpty())
        return 1;
    const QString dir = QStringLiteral(MIRVO_CORPUS_DIR "/writing");
    const QStringList only = app.arguments().mid(1);
    if (only.isEmpty() || only.contains("formatting"))
        formatting(model, dir);
    if (only.isEmpty() || only.contains("hints"))
        hints(dir);
    if (only.isEmpty() || only.contains("vocabulary"))
        vocabulary(dir);
    return 0;
}
