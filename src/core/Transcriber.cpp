#include "Transcriber.h"

#include "common/Log.h"
#include "common/MainThread.h"

#include <algorithm>
#include <chrono>
#include <coroutine>

namespace {

// "[0, 2]", or "[]" when empty.
template <typename Container> QString listOf(const Container& indices) {
    QStringList parts;
    for (int i : indices)
        parts.append(QString::number(i));
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

} // namespace

// Suspends finish() until the last pending chunk is final or the time limit forces a resolve.
// The continuation only queues the caller on the main thread, so resuming it under the lock is
// safe.
class SFTranscriber::FinishAwaiter {
public:
    explicit FinishAwaiter(SFTranscriber& owner) : owner_(owner) {}

    bool await_ready() const noexcept { return false; }

    bool await_suspend(std::coroutine_handle<> caller) {
        std::lock_guard guard(owner_.lock_);
        if (owner_.pendingChunkIndices_.empty()) {
            text_ = owner_.assembleLocked();
            return false;
        }
        owner_.finishContinuation_ = [this, caller](QString text) {
            text_ = std::move(text);
            runOnMain([caller] { caller.resume(); });
        };
        owner_.scheduleForceLocked(owner_.finishTimeout_, false);
        owner_.scheduleForceLocked(std::max(owner_.finishTimeout_, owner_.modelWaitLimit_), true);
        return true;
    }

    QString await_resume() { return std::move(text_); }

private:
    SFTranscriber& owner_;
    QString text_;
};

SFTranscriber::SFTranscriber(const QString& locale, QStringList contextualStrings,
                             const SpeechRecognizerProvider& recognizers, Timing timing,
                             ResultWriter writer)
    : recognizer_(recognizers ? recognizers(locale) : nullptr),
      rotationInterval_(timing.rotationInterval), targetOverlap_(timing.targetOverlap),
      finishTimeout_(timing.finishTimeout), modelWaitLimit_(timing.modelWaitLimit),
      clock_(std::move(timing.now)), contextualStrings_(std::move(contextualStrings)),
      writer_(std::move(writer)) {}

double SFTranscriber::now() const {
    if (clock_)
        return clock_();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SFTranscriber::start() {
    if (!recognizer_ || !recognizer_->isAvailable())
        throw TranscriberError::unavailable();
    std::lock_guard guard(lock_);
    // A caller still waiting from an earlier session gets what that session had.
    if (finishContinuation_)
        std::exchange(finishContinuation_, nullptr)(assembleLocked());
    ++sessionId_;
    chunkCount_ = 0;
    slots_.clear();
    pendingChunkIndices_.clear();
    recentBuffers_.clear();
    finishRequested_ = false;
    budgetAwaitsDecoding_ = false;
    shortfall_.clear();
    reportWaitingLocked();
    activeRequest_.reset();
    activeTask_.reset();
    activeStartedAt_.reset();
    startNewTaskLocked({}, 0);
}

void SFTranscriber::startNewTaskLocked(const std::vector<AudioBufferPtr>& prefixBuffers,
                                       double overlapSeconds) {
    if (!recognizer_)
        throw TranscriberError::unavailable();
    auto request = std::make_shared<RecognitionRequest>();
    request->shouldReportPartialResults = true;
    request->taskHint = RecognitionRequest::dictationTaskHint;
    if (!contextualStrings_.isEmpty())
        request->contextualStrings = contextualStrings_;

    for (const AudioBufferPtr& buffer : prefixBuffers)
        request->append(buffer);

    // The task starts before any state changes: a chunk whose task cannot start must not stay
    // pending (finish() would wait for it until the time limit) nor keep taking audio.
    const int index = chunkCount_;
    std::weak_ptr<SFTranscriber> weakSelf = weak_from_this();
    const uint64_t session = sessionId_;
    request->stageHandler = [weakSelf, session, index](RecognitionStage stage) {
        auto self = weakSelf.lock();
        if (!self)
            return;
        std::lock_guard guard(self->lock_);
        if (self->sessionId_ == session)
            self->handleStageLocked(index, stage);
    };
    std::shared_ptr<RecognitionTask> task = recognizer_->recognitionTask(
        request, [weakSelf, session, index](const std::optional<RecognitionResult>& result,
                                            const std::optional<MirvoError>& error) {
            auto self = weakSelf.lock();
            if (!self)
                return;
            std::lock_guard guard(self->lock_);
            if (self->sessionId_ == session)
                self->handleResultLocked(index, result, error);
        });

    ++chunkCount_;
    slots_[index] = ChunkSlot{QString(), overlapSeconds, false};
    pendingChunkIndices_.insert(index);
    activeRequest_ = request;
    activeIndex_ = index;
    activeStartedAt_ = now();
    activeTask_ = std::move(task);
}

void SFTranscriber::append(const AudioBufferPtr& buffer) {
    std::lock_guard guard(lock_);
    if (!finishRequested_ && activeStartedAt_ && now() - *activeStartedAt_ >= rotationInterval_)
        rotateLocked();
    if (activeRequest_)
        activeRequest_->append(buffer);
    const double arrived = now();
    recentBuffers_.emplace_back(arrived, buffer);
    while (!recentBuffers_.empty() && recentBuffers_.front().first < arrived - targetOverlap_)
        recentBuffers_.pop_front();
}

void SFTranscriber::rotateLocked() {
    if (!activeRequest_)
        return;
    std::vector<AudioBufferPtr> prefix;
    prefix.reserve(recentBuffers_.size());
    for (const auto& [time, buffer] : recentBuffers_)
        prefix.push_back(buffer);
    const double overlap = recentBuffers_.empty() ? 0 : now() - recentBuffers_.front().first;
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] rotate: chunk=%1 overlapBuffers=%2 overlap=%3s")
                 .arg(activeIndex_)
                 .arg(prefix.size())
                 .arg(overlap, 0, 'f', 2));
    activeRequest_->endAudio();
    activeRequest_.reset();
    activeTask_.reset(); // not cancelled: it goes on to its final result
    activeStartedAt_.reset();
    try {
        startNewTaskLocked(prefix, overlap);
        mirvoLog(
            QStringLiteral("[Mirvo/Transcriber] rotate: new chunk=%1 started").arg(activeIndex_));
    } catch (const std::exception& e) {
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] rotate: new task failed: %1")
                     .arg(QString::fromUtf8(e.what())));
    }
}

void SFTranscriber::handleResultLocked(int index, const std::optional<RecognitionResult>& result,
                                       const std::optional<MirvoError>& error) {
    const auto found = slots_.find(index);
    if (found == slots_.end())
        return;
    ChunkSlot& slot = found->second;
    QString text = slot.text;
    bool final = slot.isFinal;
    if (result) {
        // Written tokens keep their first word's time, so the overlap cut still pairs them.
        text = trimOverlap(result->isFinal && writer_ ? writer_(*result) : *result,
                           slot.overlapSeconds);
        final = final || result->isFinal;
    }
    const bool done = final || error.has_value();
    slot.text = text;
    slot.isFinal = done;
    reportHeardLocked();
    if (!done)
        return;
    if (std::exchange(slot.waitingForModel, false))
        reportWaitingLocked();

    pendingChunkIndices_.erase(index);
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] chunk=%1 final error=%2 text=%3 pending=%4")
                 .arg(index)
                 .arg(error ? error->reason() : QStringLiteral("nil"), dictatedText(text),
                      listOf(pendingChunkIndices_)));
    if (index == activeIndex_) {
        activeTask_.reset();
        activeRequest_.reset();
        activeStartedAt_.reset();
    }
    if (finishRequested_ && pendingChunkIndices_.empty())
        resolveFinishLocked(false);
}

void SFTranscriber::handleStageLocked(int index, RecognitionStage stage) {
    const auto found = slots_.find(index);
    const bool waiting = stage == RecognitionStage::waitingForModel;
    if (found == slots_.end() || found->second.isFinal || found->second.waitingForModel == waiting)
        return;
    found->second.waitingForModel = waiting;
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] chunk=%1 %2")
                 .arg(index)
                 .arg(waiting ? QStringLiteral("waits for the speech model")
                              : QStringLiteral("decoding")));
    reportWaitingLocked();
    if (!waiting && budgetAwaitsDecoding_ && !anyWaitingForModelLocked()) {
        budgetAwaitsDecoding_ = false;
        scheduleForceLocked(finishTimeout_, false);
    }
}

bool SFTranscriber::anyWaitingForModelLocked() const {
    for (int index : pendingChunkIndices_)
        if (slots_.at(index).waitingForModel)
            return true;
    return false;
}

void SFTranscriber::reportWaitingLocked() {
    const bool waiting = anyWaitingForModelLocked();
    if (waiting == std::exchange(reportedWaiting_, waiting))
        return;
    runOnMain([weakSelf = weak_from_this(), waiting] {
        if (auto self = weakSelf.lock(); self && self->onWaitingForModel)
            self->onWaitingForModel(waiting);
    });
}

void SFTranscriber::reportHeardLocked() {
    // After the release the final text takes over.
    if (finishRequested_ || !onHeard)
        return;
    QString heard = assembleLocked();
    if (heard == reportedHeard_)
        return;
    reportedHeard_ = heard;
    runOnMain([weakSelf = weak_from_this(), heard = std::move(heard)] {
        if (auto self = weakSelf.lock(); self && self->onHeard)
            self->onHeard(heard);
    });
}

void SFTranscriber::scheduleForceLocked(double seconds, bool always) {
    std::weak_ptr<SFTranscriber> weakSelf = weak_from_this();
    const uint64_t session = sessionId_;
    scheduleOnBackground(std::make_shared<CancellableWork>([weakSelf, session, always] {
                             auto self = weakSelf.lock();
                             if (!self)
                                 return;
                             std::lock_guard lock(self->lock_);
                             if (self->sessionId_ != session || !self->finishContinuation_)
                                 return;
                             if (!always && self->anyWaitingForModelLocked())
                                 self->budgetAwaitsDecoding_ = true;
                             else
                                 self->resolveFinishLocked(true);
                         }),
                         seconds);
}

QString SFTranscriber::shortfall() const {
    std::lock_guard guard(lock_);
    return shortfall_;
}

QString SFTranscriber::trimOverlap(const RecognitionResult& result, double overlapSeconds) {
    return trimOverlap(result.formattedString, result.segmentTimestamps, overlapSeconds);
}

QString SFTranscriber::trimOverlap(const QString& formattedString,
                                   const std::vector<double>& segmentTimestamps,
                                   double overlapSeconds) {
    if (overlapSeconds <= 0 || segmentTimestamps.empty())
        return formattedString;
    size_t k = 0;
    while (k < segmentTimestamps.size() && segmentTimestamps[k] < overlapSeconds)
        ++k;
    if (k == segmentTimestamps.size())
        return QString();
    if (k == 0)
        return formattedString;
    const QStringList pieces = formattedString.split(QLatin1Char(' '), Qt::KeepEmptyParts);
    if (k >= size_t(pieces.size()))
        return QString();
    return pieces.mid(qsizetype(k)).join(QLatin1Char(' '));
}

QString SFTranscriber::assembleLocked() const {
    QStringList texts;
    for (int i = 0; i < chunkCount_; ++i) {
        const auto found = slots_.find(i);
        if (found == slots_.end())
            continue;
        const QString text = found->second.text.trimmed();
        if (!text.isEmpty())
            texts.append(text);
    }
    return texts.join(QLatin1Char(' '));
}

void SFTranscriber::resolveFinishLocked(bool force) {
    if (!finishContinuation_)
        return;
    if (!force && !pendingChunkIndices_.empty())
        return;
    auto continuation = std::exchange(finishContinuation_, nullptr);
    const QString text = assembleLocked();
    std::vector<int> slotIndices;
    for (const auto& [index, slot] : slots_)
        slotIndices.push_back(index);
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] resolve force=%1 pending=%2 slots=%3 text=%4")
                 .arg(boolText(force), listOf(pendingChunkIndices_), listOf(slotIndices),
                      dictatedText(text)));
    if (force && activeTask_)
        activeTask_->cancel();
    if (anyWaitingForModelLocked()) {
        // Audio no decoder ever took is lost: the user hears it.
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] the speech model was not ready within %1 "
                                "seconds; undecoded audio dropped")
                     .arg(std::max(finishTimeout_, modelWaitLimit_)),
                 LogLevel::error);
        shortfall_ = modelNotReadyMessage;
    }
    activeTask_.reset();
    activeRequest_.reset();
    activeStartedAt_.reset();
    pendingChunkIndices_.clear();
    reportWaitingLocked();
    continuation(text);
}

QCoro::Task<QString> SFTranscriber::finish() {
    std::shared_ptr<RecognitionRequest> request;
    std::vector<int> pending;
    int chunks = 0;
    {
        std::lock_guard guard(lock_);
        finishRequested_ = true;
        request = activeRequest_;
        pending.assign(pendingChunkIndices_.begin(), pendingChunkIndices_.end());
        chunks = chunkCount_;
    }
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] finish called: chunks=%1 pending=%2")
                 .arg(chunks)
                 .arg(listOf(pending)));
    if (request)
        request->endAudio();
    if (pending.empty()) {
        std::lock_guard guard(lock_);
        co_return assembleLocked();
    }
    co_return co_await FinishAwaiter(*this);
}
