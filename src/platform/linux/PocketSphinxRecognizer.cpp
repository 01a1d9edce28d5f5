#include "PocketSphinxRecognizer.h"

#include "platform/AudioConverter.h"
#include "platform/Log.h"

#include <QFileInfo>

#include <pocketsphinx.h>

#include <chrono>

namespace {

const QString debianModel = QStringLiteral("/usr/share/pocketsphinx/model/en-us");

bool modelComplete(const QString& dir) {
    return QFileInfo(dir + QStringLiteral("/en-us")).isDir() &&
           QFileInfo(dir + QStringLiteral("/en-us.lm.bin")).isFile() &&
           QFileInfo(dir + QStringLiteral("/cmudict-en-us.dict")).isFile();
}

RecognitionResult resultOf(ps_decoder_t* decoder, bool isFinal) {
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
        words.append(word);
        result.segmentTimestamps.push_back(startFrame / 100.0);
    }
    result.formattedString = words.join(QLatin1Char(' '));
    return result;
}

const PlatformError canceledError(PlatformErrors::recognitionCanceled,
                                  QStringLiteral("Recognition request was canceled"));

// One task: its thread owns this state together with the handle the caller keeps.
struct TaskState {
    std::shared_ptr<RecognitionRequest> request;
    RecognitionHandler handler;
    std::shared_ptr<DecoderPool> pool;
    std::atomic<bool> cancelled{false};
};

class PocketSphinxTask final : public RecognitionTask {
public:
    explicit PocketSphinxTask(std::shared_ptr<TaskState> state) : state_(std::move(state)) {}
    void cancel() override {
        state_->cancelled = true;
        state_->request->wake();
        state_->pool->wake();
    }

private:
    std::shared_ptr<TaskState> state_;
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
        return withCommitted(resultOf(decoder_, true));
    }

    // Ends the utterance without a result (the task was cancelled).
    void abandon() { ps_end_utt(decoder_); }

    void feed(const AudioBufferPtr& buffer) {
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

    double seconds() const { return double(samples_) / speechSampleRate; }

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
            const RecognitionResult settled = resultOf(decoder_, false);
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
    bool inUtterance_ = false;
    const AudioFormatPtr working_ = makeSpeechFormat();
    bool loggedConversionError_ = false;
    std::unique_ptr<AudioConverter> converter_;
    uint64_t samples_ = 0;
    uint64_t lastPartialAt_ = 0;
    QString lastHypothesis_;
};

void runTask(const std::shared_ptr<TaskState>& state) {
    ps_decoder_t* decoder = state->pool->acquire(state->cancelled);
    if (!decoder) {
        state->handler(std::nullopt,
                       state->cancelled
                           ? canceledError
                           : PlatformError(PlatformErrors::speechModelUnavailable,
                                           QStringLiteral("Speech model unavailable")));
        return;
    }
    // A new stream restarts the segment clock at zero; the channel normalisation carries over.
    Decoding decoding(*state, decoder);
    bool spareRequested = false;
    while (AudioBufferPtr buffer = state->request->waitForBuffer(state->cancelled)) {
        decoding.feed(buffer);
        if (!spareRequested && decoding.seconds() >= PocketSphinxRecognizer::spareAfterSeconds) {
            spareRequested = true;
            state->pool->prepare();
        }
    }
    if (state->cancelled) {
        decoding.abandon();
        state->pool->release(decoder);
        state->handler(std::nullopt, canceledError);
        return;
    }
    const RecognitionResult final = decoding.finish();
    state->pool->release(decoder);
    state->handler(final, std::nullopt);
}

} // namespace

DecoderPool::DecoderPool(QString modelDirectory) : modelDirectory_(std::move(modelDirectory)) {}

DecoderPool::~DecoderPool() {
    for (ps_decoder_t* d : idle_)
        ps_free(d);
}

ps_decoder_t* DecoderPool::load() {
    const QByteArray hmm = (modelDirectory_ + QStringLiteral("/en-us")).toLocal8Bit();
    const QByteArray lm = (modelDirectory_ + QStringLiteral("/en-us.lm.bin")).toLocal8Bit();
    const QByteArray dict = (modelDirectory_ + QStringLiteral("/cmudict-en-us.dict")).toLocal8Bit();
    cmd_ln_t* config =
        cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.constData(), "-lm", lm.constData(),
                    "-dict", dict.constData(), "-logfn", "/dev/null", nullptr);
    if (!config)
        return nullptr;
    ps_decoder_t* decoder = ps_init(config);
    cmd_ln_free_r(config); // the decoder keeps its own reference
    return decoder;
}

void DecoderPool::startLoadLocked() {
    ++loading_;
    // The loader keeps the pool alive until its decoder is in.
    std::thread([self = shared_from_this()] { self->finishLoad(self->load()); }).detach();
}

void DecoderPool::finishLoad(ps_decoder_t* decoder) {
    std::vector<ps_decoder_t*> surplus;
    {
        std::lock_guard lock(mutex_);
        --loading_;
        if (decoder)
            idle_.push_back(decoder);
        else
            loadFailed_ = true;
        trimLocked(surplus);
    }
    changed_.notify_all();
    for (ps_decoder_t* d : surplus)
        ps_free(d);
    if (!decoder)
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] could not load the speech model from %1")
                     .arg(modelDirectory_),
                 LogLevel::error);
}

void DecoderPool::trimLocked(std::vector<ps_decoder_t*>& surplus) {
    // Keep one idle decoder warm; more only while someone waits for them.
    while (int(idle_.size()) > std::max(1, waiting_)) {
        surplus.push_back(idle_.back());
        idle_.pop_back();
    }
}

void DecoderPool::prepare() {
    std::lock_guard lock(mutex_);
    if (idle_.empty() && loading_ == 0)
        startLoadLocked();
}

ps_decoder_t* DecoderPool::acquire(const std::atomic<bool>& stop) {
    std::unique_lock lock(mutex_);
    loadFailed_ = false;
    if (idle_.empty() && loading_ <= waiting_)
        startLoadLocked();
    ++waiting_;
    changed_.wait(lock, [&] { return stop || !idle_.empty() || (loading_ == 0 && loadFailed_); });
    --waiting_;
    if (stop || idle_.empty())
        return nullptr;
    ps_decoder_t* decoder = idle_.back();
    idle_.pop_back();
    ++inUse_;
    return decoder;
}

void DecoderPool::release(ps_decoder_t* decoder) {
    std::vector<ps_decoder_t*> surplus;
    {
        std::lock_guard lock(mutex_);
        --inUse_;
        idle_.push_back(decoder);
        trimLocked(surplus);
    }
    changed_.notify_all();
    for (ps_decoder_t* d : surplus)
        ps_free(d);
}

void DecoderPool::wake() {
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
}

int DecoderPool::decoderCount() const {
    std::lock_guard lock(mutex_);
    return int(idle_.size()) + inUse_ + loading_;
}

int DecoderPool::idleCount() const {
    std::lock_guard lock(mutex_);
    return int(idle_.size());
}

void DecoderPool::waitUntilSettled() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return loading_ == 0; });
}

PocketSphinxRecognizer::PocketSphinxRecognizer(std::shared_ptr<DecoderPool> pool)
    : pool_(std::move(pool)) {}

std::shared_ptr<RecognitionTask>
PocketSphinxRecognizer::recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                        RecognitionHandler handler) {
    auto state = std::make_shared<TaskState>();
    state->request = std::move(request);
    state->handler = std::move(handler);
    state->pool = pool_;
    std::thread([state] { runTask(state); }).detach();
    return std::make_shared<PocketSphinxTask>(state);
}

QString PocketSphinxRecognizer::installedModelDirectory() {
    const QString overridden = qEnvironmentVariable("MIRVO_POCKETSPHINX_MODEL");
    const QString dir = overridden.isEmpty() ? debianModel : overridden;
    return modelComplete(dir) ? dir : QString();
}

SpeechRecognizerProvider PocketSphinxRecognizer::makeProvider() {
    const QString dir = installedModelDirectory();
    if (dir.isEmpty())
        return [](const QString&) { return std::shared_ptr<SpeechRecognizer>(); };
    auto pool = std::make_shared<DecoderPool>(dir);
    pool->prepare();
    return [pool](const QString& locale) -> std::shared_ptr<SpeechRecognizer> {
        if (locale != QLatin1String("en-US"))
            return nullptr;
        return std::make_shared<PocketSphinxRecognizer>(pool);
    };
}
