#pragma once

#include "LinuxOnly.h"

#include "platform/PlatformServices.h"

#include <map>

class X11Connection;

// The Linux desktop: X11 for keys, clipboard and windows, PulseAudio for the microphone,
// PocketSphinx for speech, libsndfile for audio files, QSettings and the XDG folders for what
// Mirvo keeps. Cheap to construct; each service is made when first asked for.
class LinuxPlatform final : public PlatformServices {
public:
    LinuxPlatform();
    ~LinuxPlatform() override;

    std::unique_ptr<EventTap> makeEventTap(uint64_t mask, EventTapCallback callback, void* userInfo,
                                           const QString& pushToTalkKey) override;
    std::shared_ptr<KeyboardEvents> makeKeyboardEvents() override;
    std::shared_ptr<Pasteboard> makePasteboard() override;
    std::unique_ptr<AudioEngine> makeAudioEngine() override;
    AudioFileOpener audioFileOpener() override;
    SpeechRecognizerProvider speechRecognizers(RecognitionProfile profile) override;
    std::unique_ptr<HUDPanel> makeHUDPanel(QWidget* content) override;
    bool compositorRunning() override;
    std::shared_ptr<UserDefaults> makeUserDefaults() override;
    std::shared_ptr<HTTPSession> makeHTTPSession() override;
    bool accessibilityIsProcessTrusted() override;
    QString accessibilityProblem() override;
    SpeechAuthorizationStatus speechAuthorizationStatus() override;
    QCoro::Task<SpeechAuthorizationStatus> requestSpeechAuthorization() override;
    QCoro::Task<MicrophoneAuthorizationStatus> microphoneAuthorizationStatus() override;
    QCoro::Task<bool> requestMicrophoneAccess() override;
    std::unique_ptr<SignalSource> makeSignalSource() override;
    std::shared_ptr<NotificationCenter> defaultNotificationCenter() override;
    QString applicationSupportDirectory() override;
    std::shared_ptr<LoginItemControlling> makeLoginItem() override;
    bool openURL(const QUrl& url) override;
    QUrl helpPageURL() override;
    QString desktopProblem() override;
    std::unique_ptr<Tray> makeTray() override;
    std::unique_ptr<SingleInstance> makeSingleInstance() override;
    void onTerminationRequest(std::function<void()> handler) override;

private:
    const std::shared_ptr<X11Connection> x11_;
    const std::shared_ptr<NotificationCenter> notifications_;
    std::map<RecognitionProfile, SpeechRecognizerProvider> recognizers_;
    bool saidModelMissing_ = false;
    QString lastMicrophoneProblem_;
};
