#include "DictationCoordinator.h"

#include "common/Log.h"
#include "common/MainThread.h"
#include "common/MirvoError.h"
#include "common/TaskDeadline.h"

#include <algorithm>

namespace {

// What the HUD says when a dictation ran into the limit: "Stopped after 30 minutes".
QString limitMessage(double limitSeconds) {
    const double minutes = limitSeconds / 60;
    return minutes >= 1 ? QStringLiteral("Stopped after %1 minutes").arg(minutes)
                        : QStringLiteral("Stopped after %1 seconds").arg(limitSeconds);
}

} // namespace

DictationCoordinator::DictationCoordinator(
    std::shared_ptr<HotkeyMonitor> hotkey, std::shared_ptr<AudioRecorder> recorder,
    TranscriberFactory transcriberFactory, std::unique_ptr<Paster> paster,
    std::unique_ptr<HUDWindowController> hud, std::shared_ptr<Polisher> polisher,
    PlatformTexts texts, double dictationLimitSeconds, std::shared_ptr<DictationHistory> history)
    : hotkey_(std::move(hotkey)), recorder_(std::move(recorder)),
      transcriberFactory_(std::move(transcriberFactory)), paster_(std::move(paster)),
      hud_(std::move(hud)), polisher_(std::move(polisher)), texts_(std::move(texts)),
      dictationLimitSeconds_(dictationLimitSeconds),
      history_(history ? std::move(history) : std::make_shared<DictationHistory>()) {
    limitTimer_.setSingleShot(true);
    QObject::connect(&limitTimer_, &QTimer::timeout, [this] { reachLimit(); });
}

DictationCoordinator::~DictationCoordinator() {
    for (const QMetaObject::Connection& connection : cancellables_)
        QObject::disconnect(connection);
}

void DictationCoordinator::start() {
    std::weak_ptr<DictationCoordinator> weakSelf = weak_from_this();

    recorder_->onBuffer = [weakSelf](const AudioBufferPtr& buffer) {
        auto self = weakSelf.lock();
        if (!self)
            return;
        std::lock_guard lock(self->activeTranscriberLock_);
        if (self->activeTranscriber_)
            self->activeTranscriber_->append(buffer);
    };
    recorder_->onRMS = [weakSelf](float level) {
        runOnMain([weakSelf, level] {
            auto self = weakSelf.lock();
            if (!self)
                return;
            self->hud_->model().setLevel(std::clamp(double(level) * 8.0, 0.0, 1.0));
        });
    };

    try {
        hotkey_->start();
        mirvoLog(QStringLiteral("[Mirvo] hotkey.start() OK (%1)").arg(hotkey_->sourceName()));
    } catch (...) {
        mirvoLog(QStringLiteral("[Mirvo] hotkey.start() FAILED: %1")
                     .arg(describeError(std::current_exception())),
                 LogLevel::error);
    }

    cancellables_.push_back(QObject::connect(
        hotkey_.get(), &HotkeyMonitor::events, hotkey_.get(),
        [weakSelf](HotkeyEvent event) {
            if (auto self = weakSelf.lock())
                self->handle(event);
        },
        Qt::QueuedConnection));
}

void DictationCoordinator::handle(HotkeyEvent event) {
    mirvoLog(QStringLiteral("[Mirvo] hotkey event: %1").arg(hotkeyEventName(event)));
    if (event == HotkeyEvent::down)
        keyDown();
    else
        keyUp(false);
}

void DictationCoordinator::setActiveTranscriber(std::shared_ptr<Transcriber> transcriber) {
    std::shared_ptr<Transcriber> previous;
    {
        std::lock_guard lock(activeTranscriberLock_);
        previous = std::exchange(activeTranscriber_, std::move(transcriber));
    }
    // `previous` is released here, outside the lock.
}

void DictationCoordinator::keyDown() {
    if (isRecording_)
        return;
    isRecording_ = true;
    hud_->show();

    try {
        auto transcriber = transcriberFactory_(recentTranscripts_);
        watchModelWait(*transcriber);
        setActiveTranscriber(transcriber);
        transcriber->start();
        recorder_->start();
        paster_->prepare();
        if (onRecordingStart)
            onRecordingStart();
        limitTimer_.start(int(dictationLimitSeconds_ * 1000));
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        mirvoLog(QStringLiteral("[Mirvo] start recording failed: %1").arg(describeError(error)),
                 LogLevel::error);
        isRecording_ = false;
        setActiveTranscriber(nullptr);
        const QString message = userFacingMessage(error);
        hud_->showError(message, 4);
        if (onStartFailure)
            onStartFailure(message);
    }
}

void DictationCoordinator::watchModelWait(Transcriber& transcriber) {
    shownTranscriber_ = &transcriber;
    modelWaiting_ = false;
    transcriber.onHeard = [weakSelf = weak_from_this(), raw = &transcriber](const QString& words) {
        auto self = weakSelf.lock();
        if (self && self->shownTranscriber_ == raw && self->isRecording_ && self->showsHeardWords &&
            self->showsHeardWords())
            self->hud_->showHeard(words);
    };
    transcriber.onWaitingForModel = [weakSelf = weak_from_this(),
                                     raw = &transcriber](bool waiting) {
        auto self = weakSelf.lock();
        if (!self || self->shownTranscriber_ != raw)
            return;
        self->modelWaiting_ = waiting;
        if (!self->isRecording_) // while the key is down the meter shows the audio is kept
            self->hud_->showProcessing(waiting ? preparingMessage : QString());
    };
}

void DictationCoordinator::reachLimit() {
    mirvoLog(QStringLiteral("[Mirvo] dictation stopped after %1 minutes without a key-up")
                 .arg(dictationLimitSeconds_ / 60),
             LogLevel::warning);
    hotkey_->forgetHeldKey();
    keyUp(true);
}

void DictationCoordinator::keyUp(bool stoppedByLimit) {
    if (!isRecording_)
        return;
    isRecording_ = false;
    limitTimer_.stop();
    recorder_->stop();
    hud_->showProcessing(modelWaiting_ ? preparingMessage : QString());

    std::shared_ptr<Transcriber> transcriber;
    {
        std::lock_guard lock(activeTranscriberLock_);
        transcriber = std::move(activeTranscriber_);
        activeTranscriber_.reset();
    }
    if (!transcriber)
        return;
    mirvoLog(QStringLiteral("[Mirvo] awaiting transcript…"));
    Release release;
    release.since.start();
    release.focus = paster_->focusedApplication();
    // Detached: the task keeps itself, the transcriber and the coordinator alive until done.
    finishDictation(std::move(transcriber), shared_from_this(), stoppedByLimit, std::move(release));
}

QCoro::Task<> DictationCoordinator::finishDictation(std::shared_ptr<Transcriber> transcriber,
                                                    std::shared_ptr<DictationCoordinator> self,
                                                    bool stoppedByLimit, Release release) {
    const QString rawText = (co_await transcriber->finish()).trimmed();
    if (self->shownTranscriber_ == transcriber.get())
        self->shownTranscriber_ = nullptr;
    mirvoLog(QStringLiteral("[Mirvo] raw transcript: ") + dictatedText(rawText));
    QString message = stoppedByLimit ? limitMessage(self->dictationLimitSeconds_) : QString();
    if (const QString shortfall = transcriber->shortfall(); !shortfall.isEmpty())
        message = shortfall;
    if (rawText.isEmpty()) {
        mirvoLog(QStringLiteral("[Mirvo] empty transcript — nothing to paste"));
    } else {
        QString finalText = rawText;
        if (self->polisher_) {
            // What is left of the service's time after the transcript; never less than nothing.
            const double left =
                std::max(0.0, self->serviceWaitSeconds - release.since.elapsed() / 1000.0);
            const std::optional<QString> polished =
                co_await withinSeconds(self->polisher_->polish(rawText), left, self->polisher_);
            if (polished) {
                finalText = polished->trimmed();
                mirvoLog(QStringLiteral("[Mirvo] polished: ") + dictatedText(finalText));
            } else {
                mirvoLog(QStringLiteral("[Mirvo] polish: no answer within the service's %1 s; "
                                        "the transcript is delivered as it is")
                             .arg(self->serviceWaitSeconds),
                         LogLevel::warning);
            }
        }
        if (self->alternatePasteHandler) {
            self->alternatePasteHandler(finalText);
            mirvoLog(QStringLiteral("[Mirvo] delivered via alternatePasteHandler"));
        } else if (const QString failure = self->deliver(finalText, release); !failure.isEmpty()) {
            message = failure;
        }
    }
    if (message.isEmpty())
        self->hud_->hide();
    else
        self->hud_->showError(message, 4);
    if (self->onRecordingComplete)
        self->onRecordingComplete();
    if (!rawText.isEmpty())
        self->remember(rawText);
}

QString DictationCoordinator::deliver(const QString& text, const Release& release) {
    // Long after release the user may be typing elsewhere: a paste would land there.
    const bool focusMoved = release.since.elapsed() >= qint64(lateDeliverySeconds * 1000) &&
                            paster_->focusedApplication() != release.focus;
    if (focusMoved)
        mirvoLog(QStringLiteral("[Mirvo] the focus moved while the text was prepared: copied "
                                "instead of pasted"));
    const PasteOutcome outcome = focusMoved ? paster_->copyForUser(text) : paster_->paste(text);
    // In UTC: a local time would reread the time zone outside the log's lock, which
    // ThreadSanitizer cannot tell from a race with the decoders' log lines.
    history_->add({text, QDateTime::currentDateTimeUtc(), outcome, paster_->lastTarget()});
    return reportDelivery(outcome);
}

void DictationCoordinator::pasteLast() {
    const std::optional<DictationEntry> last = history_->newest();
    if (!last || isRecording_) {
        mirvoLog(last ? QStringLiteral("[Mirvo] paste last: not while dictating")
                      : QStringLiteral("[Mirvo] paste last: no recent dictation"));
        return;
    }
    mirvoLog(QStringLiteral("[Mirvo] paste last: ") + dictatedText(last->text));
    if (const QString failure = reportDelivery(paster_->paste(last->text)); !failure.isEmpty())
        hud_->showError(failure, 4);
}

QString DictationCoordinator::reportDelivery(PasteOutcome outcome) {
    switch (outcome) {
    case PasteOutcome::pasted:
        mirvoLog(QStringLiteral("[Mirvo] pasted"));
        return QString();
    case PasteOutcome::copiedForUser:
        mirvoLog(QStringLiteral("[Mirvo] copied to the clipboard for the user to paste"));
        break;
    case PasteOutcome::failed:
        mirvoLog(QStringLiteral("[Mirvo] paste failed: the text could not be put on the "
                                "clipboard, so no paste was sent"),
                 LogLevel::error);
        break;
    case PasteOutcome::noTarget:
        mirvoLog(QStringLiteral("[Mirvo] paste failed: no window has the keyboard focus"),
                 LogLevel::warning);
        break;
    }
    return savedMessage;
}

void DictationCoordinator::remember(const QString& rawText) {
    recentTranscripts_.append(rawText);
    while (recentTranscripts_.size() > maxRecentTranscripts)
        recentTranscripts_.removeFirst();
}

QString DictationCoordinator::userFacingMessage(const std::exception_ptr& error) const {
    try {
        std::rethrow_exception(error);
    } catch (const MirvoError& e) {
        if (e.is(MirvoError::Kind::noMicrophone))
            return QStringLiteral("No microphone found. Check your sound settings.");
        if (e.is(MirvoError::Kind::speechModelUnusable))
            return texts_.speechModelBroken;
    } catch (const TranscriberError& e) {
        if (e.value() == TranscriberError::Case::notAuthorized)
            return texts_.speechModelMissing;
        return QStringLiteral("Speech recognition unavailable for this language.");
    } catch (...) {
    }
    return QStringLiteral("Couldn't start dictation.");
}
