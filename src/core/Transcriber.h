#pragma once

#include "common/AudioBuffer.h"
#include "platform/PlatformServices.h"
#include "platform/Speech.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

// Why a transcriber cannot start. Its printed form is the case name.
class TranscriberError final : public std::exception {
public:
    enum class Case { unavailable, notAuthorized };

    explicit TranscriberError(Case c) : case_(c) {}
    static TranscriberError unavailable() { return TranscriberError(Case::unavailable); }
    static TranscriberError notAuthorized() { return TranscriberError(Case::notAuthorized); }

    Case value() const { return case_; }
    bool operator==(const TranscriberError& other) const { return case_ == other.case_; }
    const char* what() const noexcept override {
        return case_ == Case::unavailable ? "unavailable" : "notAuthorized";
    }

private:
    Case case_;
};

// One dictation's transcription engine: one start(), any number of append() calls, one finish().
class Transcriber {
public:
    virtual ~Transcriber() = default;

    // Prepares for a dictation; ready for buffers when it returns. Throws TranscriberError or
    // MirvoError when it cannot.
    virtual void start() = 0;
    // Takes one captured buffer in the recorder's format; called on the capture thread.
    virtual void append(const AudioBufferPtr& buffer) = 0;
    // Ends the dictation and returns the text, possibly empty. Never throws.
    virtual QCoro::Task<QString> finish() = 0;
    // After finish(): why its text lacks words the user said, for the user; empty when it
    // lacks none.
    virtual QString shortfall() const { return {}; }
    // Whether the recording rose above its noise floor; one that cannot tell says it did.
    virtual bool heardSound() const { return true; }

    // Told on the main thread whenever the transcriber starts or stops waiting for a speech
    // model (the first load after launch, one learning new words). Set before start().
    std::function<void(bool waiting)> onWaitingForModel;
    // Told on the main thread the words heard so far, as they change while the user speaks:
    // the on-device recogniser's partial results, not a promise of what is delivered. Set
    // before start().
    std::function<void(const QString& words)> onHeard;
};

// The longest a dictation waits for the proxy service after the key goes up, every target and
// the polish together; then the text that is ready is used.
inline constexpr double serviceWaitSeconds = 30.0;

// Makes a fresh transcriber for every dictation, given the recent raw transcripts as hints.
using TranscriberFactory =
    std::function<std::shared_ptr<Transcriber>(const QStringList& recentTranscripts)>;

// Durations in seconds; `now` is a monotonic clock in seconds (the steady clock if unset).
struct SFTranscriberTiming {
    double rotationInterval = 45.0;
    double targetOverlap = 2.0;
    double finishTimeout = 8.0;
    // The longest finish() waits for a chunk whose speech model is still loading: its
    // finishTimeout only starts once it decodes.
    double modelWaitLimit = 60.0;
    std::function<double()> now;
};

// The on-device transcriber (on Linux through PocketSphinx, behind SpeechRecognizer): recognises
// while the user speaks, in chunks of at most 45 seconds
// of audio. At a rotation the active request's audio ends, a new request starts and is first fed
// the last ~2 seconds again; the words the new chunk hears inside that replay are cut from its
// text. finish() waits for every chunk's final result, at most 8 seconds of decoding (a chunk
// still waiting for its model does not use them up, within a longer limit), timed on a
// background thread so that a busy main thread cannot hold the answer back.
//
// Fed from three threads (capture: append; recognizer: results; main: start, finish, timer); one
// lock guards all state, and every *Locked helper runs with it held. Must be owned by a
// shared_ptr: handlers and the timer hold it weakly.
class SFTranscriber final : public Transcriber, public std::enable_shared_from_this<SFTranscriber> {
public:
    struct ChunkSlot {
        QString text;
        double overlapSeconds = 0;
        bool isFinal = false;
        bool waitingForModel = false;
    };
    // What the user is told when words were lost to a model that never became ready.
    static inline const QString modelNotReadyMessage =
        QStringLiteral("Speech recognition wasn't ready in time — please dictate again");
    using Timing = SFTranscriberTiming;

    // How a final result is written (the written-text rules); as heard when unset.
    using ResultWriter = std::function<RecognitionResult(const RecognitionResult&)>;

    SFTranscriber(const QString& locale, QStringList contextualStrings,
                  const SpeechRecognizerProvider& recognizers, Timing timing = {},
                  ResultWriter writer = {});

    // Throws TranscriberError::unavailable without a usable recognizer.
    void start() override;
    void append(const AudioBufferPtr& buffer) override;
    QCoro::Task<QString> finish() override;
    QString shortfall() const override;

    // The words of a result from the first one that starts at or after `overlapSeconds`; the
    // k-th space-separated piece is taken to be the k-th segment's word.
    static QString trimOverlap(const QString& formattedString,
                               const std::vector<double>& segmentTimestamps, double overlapSeconds);

private:
    class FinishAwaiter;

    void startNewTaskLocked(const std::vector<AudioBufferPtr>& prefixBuffers,
                            double overlapSeconds);
    void rotateLocked();
    void handleResultLocked(int index, const std::optional<RecognitionResult>& result,
                            const std::optional<MirvoError>& error);
    QString assembleLocked() const;
    void resolveFinishLocked(bool force);
    void handleStageLocked(int index, RecognitionStage stage);
    bool anyWaitingForModelLocked() const;
    // Tells onWaitingForModel when whether any chunk waits has changed.
    void reportWaitingLocked();
    // Tells onHeard the words of every chunk so far, when they changed.
    void reportHeardLocked();
    // A forced resolve `seconds` from now; `always` forces it even while a chunk waits for its
    // model.
    void scheduleForceLocked(double seconds, bool always);
    static QString trimOverlap(const RecognitionResult& result, double overlapSeconds);
    double now() const;

    const std::shared_ptr<SpeechRecognizer> recognizer_;
    const double rotationInterval_;
    const double targetOverlap_;
    const double finishTimeout_;
    const double modelWaitLimit_;
    const std::function<double()> clock_;
    const QStringList contextualStrings_;
    const ResultWriter writer_;

    mutable std::mutex lock_;
    uint64_t sessionId_ = 0;
    int chunkCount_ = 0;
    std::map<int, ChunkSlot> slots_;
    std::set<int> pendingChunkIndices_;
    std::shared_ptr<RecognitionRequest> activeRequest_;
    std::shared_ptr<RecognitionTask> activeTask_;
    int activeIndex_ = 0;
    std::optional<double> activeStartedAt_;
    std::deque<std::pair<double, AudioBufferPtr>> recentBuffers_;
    bool finishRequested_ = false;
    std::function<void(QString)> finishContinuation_;
    // The decoding budget ran out while a chunk waited for its model: it starts again when the
    // last one decodes.
    bool budgetAwaitsDecoding_ = false;
    bool reportedWaiting_ = false;
    QString reportedHeard_;
    QString shortfall_;
};
