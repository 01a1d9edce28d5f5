#pragma once

#include "AudioRecorder.h"
#include "DictationHistory.h"
#include "HUDWindowController.h"
#include "HotkeyMonitor.h"
#include "Paster.h"
#include "Polisher.h"
#include "Transcriber.h"
#include "platform/PlatformServices.h"

#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// The dictation pipeline: key down starts a transcriber and the recorder; key up stops the
// recorder, awaits the transcript, polishes it when configured, delivers it, remembers the raw
// transcript as a hint for the next one and hands the delivered text to the history.
// Lives on the main thread; owned through a shared pointer so callbacks can hold it weakly.
class DictationCoordinator final : public std::enable_shared_from_this<DictationCoordinator> {
public:
    static constexpr int maxRecentTranscripts = 10;
    // A dictation whose key-up never comes (a missed release, a `--hold` without `--release`)
    // ends by itself after this long, as if the key went up.
    static constexpr double maxDictationSeconds = 30 * 60;
    // What the HUD says when a dictation could not be pasted.
    static inline const QString savedMessage =
        QStringLiteral("Couldn't paste — saved in Recent Dictations");
    // What the HUD says after release while the speech model is still loading.
    static inline const QString preparingMessage = QStringLiteral("Preparing speech recognition…");

    DictationCoordinator(std::shared_ptr<HotkeyMonitor> hotkey,
                         std::shared_ptr<AudioRecorder> recorder,
                         TranscriberFactory transcriberFactory, std::unique_ptr<Paster> paster,
                         std::unique_ptr<HUDWindowController> hud,
                         std::shared_ptr<Polisher> polisher, PlatformTexts texts = {},
                         double dictationLimitSeconds = maxDictationSeconds,
                         std::shared_ptr<DictationHistory> history = nullptr);
    ~DictationCoordinator();

    // Wires the recorder, starts the key monitor and subscribes to its events. Call once.
    void start();

    // Told when the recording has started, and when the dictation is over (delivered, or
    // nothing to deliver).
    std::function<void()> onRecordingStart;
    std::function<void()> onRecordingComplete;
    std::function<void(const QString& text)> alternatePasteHandler;
    // Told the message of every start failure, which the HUD has little room for.
    std::function<void(const QString& message)> onStartFailure;
    // A text ready this long after release is pasted only if the application that had the
    // focus at release still has it; otherwise it is copied for the user.
    double lateDeliverySeconds = 8.0;
    // The most a dictation waits for the service after release (the polish included).
    double serviceWaitSeconds = ::serviceWaitSeconds;
    // The speech service of the user's settings: its name for the tray, and whether dictations
    // use it (the tray switches it).
    struct SpeechService {
        QString name;
        std::shared_ptr<std::atomic<bool>> on;
    };
    std::optional<SpeechService> speechService;
    // Reads the speech services of the user's settings again, for the dictations to come.
    std::function<void()> reloadServices;
    // Whether the HUD shows the words heard while the user speaks; asked as they come.
    std::function<bool()> showsHeardWords;

    bool isRecording() const { return isRecording_; }
    // Mirvo is ending: the last paste puts the user's clipboard back now.
    void finishPendingPaste() { paster_->finishPending(); }
    const QStringList& recentTranscripts() const { return recentTranscripts_; }
    DictationHistory& history() { return *history_; }
    // Delivers the newest dictation of the history again, as a dictation is delivered; nothing
    // while one is being recorded.
    void pasteLast();
    HUDWindowController& hud() { return *hud_; }
    HotkeyMonitor& hotkey() { return *hotkey_; }

private:
    void handle(HotkeyEvent event);
    void keyDown();
    void keyUp(bool stoppedByLimit);
    void reachLimit();
    void setActiveTranscriber(std::shared_ptr<Transcriber> transcriber);
    // Shows on the HUD, once the key is up, when `transcriber` waits for the speech model.
    void watchModelWait(Transcriber& transcriber);
    // Where the user stood when the key went up.
    struct Release {
        QElapsedTimer since;
        std::optional<QString> focus;
    };
    QCoro::Task<> finishDictation(std::shared_ptr<Transcriber> transcriber,
                                  std::shared_ptr<DictationCoordinator> self, bool stoppedByLimit,
                                  Release release);
    // Logs how the delivery went; the HUD message it calls for, empty when none.
    static QString reportDelivery(PasteOutcome outcome);
    QString deliver(const QString& text, const Release& release);
    void remember(const QString& rawText);
    QString userFacingMessage(const std::exception_ptr& error) const;

    const std::shared_ptr<HotkeyMonitor> hotkey_;
    const std::shared_ptr<AudioRecorder> recorder_;
    const TranscriberFactory transcriberFactory_;
    const std::unique_ptr<Paster> paster_;
    const std::unique_ptr<HUDWindowController> hud_;
    const std::shared_ptr<Polisher> polisher_;
    const PlatformTexts texts_;
    const double dictationLimitSeconds_;
    const std::shared_ptr<DictationHistory> history_;
    std::vector<QMetaObject::Connection> cancellables_;
    bool isRecording_ = false;
    QTimer limitTimer_;
    // Written on the main thread, read by the capture thread. The lock is held across the
    // append so that once the transcriber is cleared at key up, no buffer reaches it.
    std::mutex activeTranscriberLock_;
    std::shared_ptr<Transcriber> activeTranscriber_;
    QStringList recentTranscripts_;
    // The newest dictation's transcriber until its text is in, and whether it waits for the
    // speech model.
    const Transcriber* shownTranscriber_ = nullptr;
    bool modelWaiting_ = false;
};
