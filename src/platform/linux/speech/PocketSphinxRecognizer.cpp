#include "PocketSphinxRecognizer.h"

#include "LanguageBias.h"
#include "common/AudioConverter.h"
#include "common/Log.h"

#include <QFileInfo>

#include <pocketsphinx.h>

#include <chrono>
#include <sphinxbase/err.h>

namespace {

const QString debianModel = QStringLiteral("/usr/share/pocketsphinx/model/en-us");

bool modelComplete(const QString& dir) {
    return QFileInfo(dir + QStringLiteral("/en-us")).isDir() &&
           QFileInfo(dir + QStringLiteral("/en-us.lm.bin")).isFile() &&
           QFileInfo(dir + QStringLiteral("/cmudict-en-us.dict")).isFile();
}

// The words of the decoder's result; with `sure`, after an utterance has ended, also whether
// the decoder was sure of each.
RecognitionResult resultOf(ps_decoder_t* decoder, bool isFinal,
                           QHash<QString, bool>* sure = nullptr) {
    RecognitionResult result;
    result.isFinal = isFinal;
    QStringList words;
    for (ps_seg_t* seg = ps_seg_iter(decoder); seg; seg = ps_seg_next(seg)) {
        QString word = QString::fromUtf8(ps_seg_word(seg));
        // Sentence marks, silence and noise are not words.
        if (word.isEmpty() || word.startsWith(QLatin1Char('<')) ||
            word.startsWith(QLatin1Char('[')) || word.startsWith(QLatin1Char('+')))
            continue;
        // "as(2)" is the second pronunciation of "as".
        const qsizetype paren = word.indexOf(QLatin1Char('('));
        if (paren > 0)
            word.truncate(paren);
        int startFrame = 0, endFrame = 0;
        ps_seg_frames(seg, &startFrame, &endFrame);
        if (sure) {
            int32 acoustic = 0, language = 0, backoff = 0;
            const double posterior = logmath_exp(ps_get_logmath(decoder),
                                                 ps_seg_prob(seg, &acoustic, &language, &backoff));
            sure->insert(word.toLower(), posterior >= HeardWords::sureFrom);
        }
        words.append(word);
        result.segmentTimestamps.push_back(startFrame / 100.0);
    }
    result.formattedString = words.join(QLatin1Char(' '));
    return result;
}

const MirvoError canceledError(MirvoError::Kind::recognitionCanceled,
                               QStringLiteral("Recognition request was canceled"));

// One task: the job the pool runs, and what the handle the caller keeps can cancel.
struct TaskState final : DecodeJob {
    void run(ps_decoder_t* decoder, DecoderPool& pool) override;
    void cancel() override {
        cancelled = true;
        request->wake();
        // The audio is not needed any more; a queued job need not keep it.
        request->takeAvailable();
    }
    bool isCancelled() const override { return cancelled; }
    void waitingForModel() override { tell(RecognitionStage::waitingForModel); }
    void tell(RecognitionStage stage) const {
        if (request->stageHandler)
            request->stageHandler(stage);
    }
    bool needsDecoder() const override { return !cancelled && !request->endedWithoutAudio(); }
    bool isAudioEnded() const override { return cancelled || request->isAudioEnded(); }
    QStringList hints() const override { return trusted(request->contextualStrings); }
    QStringList hintsForNext() const override {
        // The coordinator keeps the last ten transcripts, this one among them.
        QStringList next = request->contextualStrings;
        if (!finalText.isEmpty())
            next.append(finalText);
        return trusted(next.mid(std::max<qsizetype>(0, next.size() - 10)));
    }
    QStringList trusted(const QStringList& phrases) const {
        return heard ? heard->withoutDoubted(phrases) : phrases;
    }

    std::shared_ptr<RecognitionRequest> request;
    RecognitionHandler handler;
    std::shared_ptr<HeardWords> heard;
    std::atomic<bool> cancelled{false};
    // Set by the worker's thread before it asks hintsForNext().
    QString finalText;
};

class PocketSphinxTask final : public RecognitionTask {
public:
    PocketSphinxTask(std::shared_ptr<TaskState> state, std::weak_ptr<DecoderPool> pool)
        : state_(std::move(state)), pool_(std::move(pool)) {}
    void cancel() override {
        state_->cancel();
        if (auto pool = pool_.lock())
            pool->wake();
    }

private:
    std::shared_ptr<TaskState> state_;
    std::weak_ptr<DecoderPool> pool_;
};

// Feeds converted audio to the decoder, reporting partial results every few tenths of a second.
// The audio is cut into utterances at pauses, as PocketSphinx's own continuous recogniser does:
// long utterances are recognised markedly worse. One stream spans the request, so segment times
// count from the start of the request's audio.
class Decoding {
public:
    Decoding(TaskState& state, ps_decoder_t* decoder) : state_(state), decoder_(decoder) {
        ps_start_stream(decoder_);
        ps_start_utt(decoder_);
    }

    // The whole request's words, once the audio has ended.
    RecognitionResult finish() {
        flush();
        ps_end_utt(decoder_);
        return withCommitted(resultOf(decoder_, true, &sure_));
    }

    // Whether the decoder was sure of each word of the utterances it ended.
    const QHash<QString, bool>& sureOfWords() const { return sure_; }

    // Ends the utterance without a result (the task was cancelled).
    void abandon() { ps_end_utt(decoder_); }

    void feed(const AudioBufferPtr& buffer) {
        fed_ = true;
        if (!converter_ || buffer->format() != converter_->inputFormat()) {
            flush(); // the old format's tail belongs before the new audio
            converter_ = AudioConverter::make(buffer->format(), working_);
            if (!converter_)
                return;
        }
        convert(AudioConverter::handOverOnce(buffer),
                buffer->frameLength() * double(speechSampleRate) / buffer->format()->sampleRate);
    }

    void flush() {
        if (!converter_)
            return;
        convert(AudioConverter::endOfStream(), 0);
        converter_.reset();
    }

    bool receivedAudio() const { return fed_; }

private:
    void convert(const AudioConverter::InputBlock& input, double expectedFrames) {
        const auto capacity = uint32_t(expectedFrames + 4096);
        AudioBufferPtr out = AudioBuffer::make(working_, capacity);
        if (!out)
            return;
        QString error;
        if (converter_->convert(*out, input, error) == AudioConverter::OutputStatus::error &&
            !loggedConversionError_) {
            // Whatever failed once fails for every buffer of the format: one line per task.
            loggedConversionError_ = true;
            mirvoLog(QStringLiteral("[Mirvo/Transcriber] audio conversion failed: %1").arg(error),
                     LogLevel::error);
        }
        if (out->frameLength() == 0)
            return;
        ps_process_raw(decoder_, out->int16Channel(0), out->frameLength(), FALSE, FALSE);
        samples_ += out->frameLength();
        if (ps_get_in_speech(decoder_)) {
            inUtterance_ = true;
        } else if (inUtterance_) {
            // A pause after speech: the utterance is over, its words are settled.
            ps_end_utt(decoder_);
            const RecognitionResult settled = resultOf(decoder_, false, &sure_);
            committed_ = withCommitted(settled);
            ps_start_utt(decoder_);
            inUtterance_ = false;
        }
        if (state_.request->shouldReportPartialResults && samples_ - lastPartialAt_ >= 4800) {
            lastPartialAt_ = samples_;
            int32 score = 0;
            const char* hyp = ps_get_hyp(decoder_, &score);
            const QString text = QString::fromUtf8(hyp ? hyp : "");
            if (text != lastHypothesis_) {
                lastHypothesis_ = text;
                state_.handler(withCommitted(resultOf(decoder_, false)), std::nullopt);
            }
        }
    }

    // The settled utterances' words followed by `current`'s.
    RecognitionResult withCommitted(const RecognitionResult& current) const {
        RecognitionResult all = committed_;
        all.isFinal = current.isFinal;
        if (!current.formattedString.isEmpty()) {
            if (!all.formattedString.isEmpty())
                all.formattedString += QLatin1Char(' ');
            all.formattedString += current.formattedString;
        }
        all.segmentTimestamps.insert(all.segmentTimestamps.end(), current.segmentTimestamps.begin(),
                                     current.segmentTimestamps.end());
        return all;
    }

    TaskState& state_;
    ps_decoder_t* decoder_;
    RecognitionResult committed_;
    QHash<QString, bool> sure_;
    bool inUtterance_ = false;
    const AudioFormatPtr working_ = makeSpeechFormat();
    bool loggedConversionError_ = false;
    std::unique_ptr<AudioConverter> converter_;
    uint64_t samples_ = 0;
    bool fed_ = false;
    uint64_t lastPartialAt_ = 0;
    QString lastHypothesis_;
};

void TaskState::run(ps_decoder_t* decoder, DecoderPool& pool) {
    if (cancelled) {
        handler(std::nullopt, canceledError);
        return;
    }
    if (!decoder && !needsDecoder() && pool.modelLoads()) {
        handler(std::nullopt,
                MirvoError(MirvoError::Kind::noSpeech, QStringLiteral("No speech detected")));
        return;
    }
    if (!decoder) {
        // Without its model the engine cannot run at all: the state a switched-off system
        // Dictation feature puts the platform recognizer in, and reported the same way.
        handler(std::nullopt, MirvoError(MirvoError::Kind::speechModelUnusable,
                                         QStringLiteral("Speech model unavailable")));
        return;
    }
    tell(RecognitionStage::decoding);
    // A new stream restarts the segment clock at zero; the channel normalisation carries over.
    Decoding decoding(*this, decoder);
    while (AudioBufferPtr buffer = request->waitForBuffer(cancelled))
        decoding.feed(buffer);
    if (cancelled) {
        decoding.abandon();
        handler(std::nullopt, canceledError);
        return;
    }
    if (!decoding.receivedAudio()) {
        // Nothing to decode, and said at once: callers waiting for a verdict need not wait.
        decoding.abandon();
        handler(std::nullopt,
                MirvoError(MirvoError::Kind::noSpeech, QStringLiteral("No speech detected")));
        return;
    }
    RecognitionResult result = decoding.finish();
    if (heard)
        heard->record(decoding.sureOfWords());
    finalText = result.formattedString;
    handler(result, std::nullopt);
}

} // namespace

void HeardWords::record(const QHash<QString, bool>& sure) {
    std::lock_guard lock(mutex_);
    // Bounded: what was heard long ago goes first, all at once.
    if (sure_.size() > 20000)
        sure_.clear();
    sure_.insert(sure);
}

QStringList HeardWords::withoutDoubted(const QStringList& phrases) const {
    std::lock_guard lock(mutex_);
    QStringList kept;
    for (const QString& phrase : phrases) {
        QStringList fragment;
        for (const QString& word : phrase.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const QStringList spoken = LanguageBias::wordsOf(word);
            if (spoken.size() == 1 && !sure_.value(spoken.front(), true)) {
                if (!fragment.isEmpty())
                    kept.append(fragment.join(QLatin1Char(' ')));
                fragment.clear();
                continue;
            }
            fragment.append(word);
        }
        if (!fragment.isEmpty())
            kept.append(fragment.join(QLatin1Char(' ')));
    }
    return kept;
}

PocketSphinxRecognizer::PocketSphinxRecognizer(std::shared_ptr<DecoderPool> pool,
                                               std::shared_ptr<HeardWords> heard)
    : pool_(std::move(pool)), heard_(std::move(heard)) {}

std::shared_ptr<RecognitionTask>
PocketSphinxRecognizer::recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                        RecognitionHandler handler) {
    auto state = std::make_shared<TaskState>();
    state->request = std::move(request);
    state->handler = std::move(handler);
    state->heard = heard_;
    pool_->submit(state);
    return std::make_shared<PocketSphinxTask>(state, pool_);
}

QString PocketSphinxRecognizer::modelDirectoryToUse() {
    const QString overridden = qEnvironmentVariable("MIRVO_POCKETSPHINX_MODEL");
    return overridden.isEmpty() ? debianModel : overridden;
}

QString PocketSphinxRecognizer::installedModelDirectory() {
    const QString dir = modelDirectoryToUse();
    return modelComplete(dir) ? dir : QString();
}

QStringList PocketSphinxRecognizer::decoderArguments(RecognitionProfile profile) {
    // Measured on a corpus of five voices (bench/RecognitionBench): the second, flat-lexicon
    // pass cost ~220 ms after every utterance for about half a point of word error rate, which
    // cutting utterances after 0.4 s of silence instead of 0.5 s wins back (the model does
    // better on shorter stretches; at 0.3 s the overlap cut at chunk seams repeated a word, at
    // 0.2 s words were cut). Wider first-pass beams buy half a point for a larger lattice.
    QStringList arguments = {QStringLiteral("-fwdflat"), QStringLiteral("no"),
                             QStringLiteral("-vad_postspeech"), QStringLiteral("40")};
    if (profile == RecognitionProfile::accurate)
        arguments += {QStringLiteral("-beam"), QStringLiteral("1e-60"),  QStringLiteral("-wbeam"),
                      QStringLiteral("1e-50"), QStringLiteral("-pbeam"), QStringLiteral("1e-60")};
    return arguments;
}

SpeechRecognizerProvider
PocketSphinxRecognizer::makeProvider(const RecognitionSettings& settings,
                                     std::shared_ptr<VocabularyWatcher> vocabulary) {
    const auto current = [vocabulary] {
        return vocabulary ? vocabulary->current() : std::make_shared<const UserVocabulary>();
    };
    const bool spokenPunctuation = settings.spokenPunctuation;
    const TeachingSource teaching = [current, spokenPunctuation] {
        const std::shared_ptr<const UserVocabulary> words = current();
        // Words of the spoken marks that the model's dictionary lacks.
        Teaching teaching{{{"semicolon", "S EH M IY K OW L AH N"}, {"paren", "P ER EH N"}},
                          words->phrases};
        teaching.words.insert(teaching.words.end(), words->words.begin(), words->words.end());
        if (spokenPunctuation)
            teaching.phrases +=
                QStringList{QStringLiteral("semicolon"), QStringLiteral("open paren"),
                            QStringLiteral("close paren")};
        return teaching;
    };
    // The model may be installed while Mirvo runs: until it is complete, every call looks again,
    // and the first that finds it makes the pool the process keeps.
    struct Lazy {
        std::mutex mutex;
        std::shared_ptr<DecoderPool> pool;
    };
    auto lazy = std::make_shared<Lazy>();
    const QStringList arguments = decoderArguments(settings.profile);
    const auto poolNow = [lazy, arguments, teaching, vocabulary]() -> std::shared_ptr<DecoderPool> {
        std::lock_guard lock(lazy->mutex);
        if (!lazy->pool) {
            const QString dir = installedModelDirectory();
            if (dir.isEmpty())
                return nullptr;
            lazy->pool = DecoderPool::make(dir, arguments, 5.0, teaching);
            if (vocabulary)
                vocabulary->onChange([weak = std::weak_ptr(lazy->pool)] {
                    if (auto pool = weak.lock())
                        pool->relearn();
                });
            lazy->pool->prepare();
        }
        return lazy->pool;
    };
    poolNow(); // warm up from the start when the model is there
    auto heard = std::make_shared<HeardWords>();
    return [poolNow, heard](const QString& locale) -> std::shared_ptr<SpeechRecognizer> {
        if (locale != QLatin1String("en-US"))
            return nullptr;
        const std::shared_ptr<DecoderPool> pool = poolNow();
        return pool ? std::make_shared<PocketSphinxRecognizer>(pool, heard) : nullptr;
    };
}
