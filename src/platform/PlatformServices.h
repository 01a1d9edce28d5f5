#pragma once

#include "AudioFile.h"
#include "EventTap.h"
#include "Speech.h"
#include "common/Log.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class AudioEngine;
class GlobalShortcut;
class HTTPSession;
class HUDPanel;
class KeyboardEvents;
class LoginItemControlling;
class NotificationCenter;
class Pasteboard;
class QWidget;
class SecretStore;
class SignalSource;
class SingleInstance;
class Tray;
class UserDefaults;

// Speech-recognition permission, with the platform's raw values.
enum class SpeechAuthorizationStatus {
    notDetermined = 0,
    denied = 1,
    restricted = 2,
    authorized = 3
};

// Microphone permission, with the platform's raw values.
enum class MicrophoneAuthorizationStatus {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorized = 3
};

// What Mirvo tells the user about the platform's own services, which only the platform can name.
struct PlatformTexts {
    QString speechEngine;       // the checklist's speech step: what recognises the words
    QString speechModel;        // the checklist's model step: what to install
    QString keyAccess;          // the checklist's key step when nothing is missing; %1: the key
    QString speechModelMissing; // a start failure: recognition is not allowed (no model)
    QString speechModelBroken;  // a start failure: the model does not load
};

// The one seam between Mirvo and the system it runs on: every system service the application
// uses is made here. One implementation per platform backend, one recording double for tests.
// Main thread only, unless a member says otherwise.
class PlatformServices {
public:
    virtual ~PlatformServices() = default;

    // A tap on the keyboard's modifier changes in which `pushToTalkKey` (a key name of the
    // platform, such as "Control_R") sets the fn bit; null when no tap can be made.
    virtual std::unique_ptr<EventTap> makeEventTap(uint64_t mask, EventTapCallback callback,
                                                   void* userInfo,
                                                   const QString& pushToTalkKey) = 0;
    // The hold key when the user chose none, as a key name of the platform ("Control_R").
    virtual QString defaultHoldKey() = 0;
    // How the user reads `key` ("Right Ctrl"); `key` is a key name of the platform.
    virtual QString holdKeyDisplayName(const QString& key) = 0;
    virtual PlatformTexts texts() = 0;
    // Whether the hold key can be watched from here; where it cannot (Wayland), a shortcut of
    // the desktop's, or its key bindings running `mirvo --hold` / `--release` / `--toggle`,
    // stand in for it.
    virtual bool holdKeyObservable() = 0;
    // The hold key as a shortcut the desktop watches for Mirvo; null where it offers none.
    virtual std::unique_ptr<GlobalShortcut> makeGlobalShortcut() = 0;
    // Whether the paste chord can reach the focused application; where it cannot, the text is
    // left on the clipboard and the user told to paste it.
    virtual bool canPostPasteChord() = 0;
    virtual std::shared_ptr<KeyboardEvents> makeKeyboardEvents() = 0;
    virtual std::shared_ptr<Pasteboard> makePasteboard() = 0;
    virtual std::unique_ptr<AudioEngine> makeAudioEngine() = 0;
    virtual AudioFileOpener audioFileOpener() = 0;
    // Recognizers by locale for `settings`; every call with the same settings hands out the same
    // warm recognizers of the process.
    virtual SpeechRecognizerProvider speechRecognizers(const RecognitionSettings& settings) = 0;
    // Whether Mirvo's windows can be seen at all (a Wayland session without XWayland has no
    // place for them).
    virtual bool hasScreen() = 0;
    // The floating window hosting the HUD's `content` (which it owns); null without a screen.
    virtual std::unique_ptr<HUDPanel> makeHUDPanel(QWidget* content) = 0;
    // Whether translucent windows show as such (a compositor runs).
    virtual bool compositorRunning() = 0;
    virtual std::shared_ptr<UserDefaults> makeUserDefaults() = 0;
    virtual std::shared_ptr<HTTPSession> makeHTTPSession() = 0;
    // The desktop's store for the speech services' keys.
    virtual std::shared_ptr<SecretStore> makeSecretStore() = 0;
    // The user's vocabulary, its entries as the user writes them: each call of the function
    // reads the current list (it may be called from any thread).
    virtual std::function<QStringList()> vocabulary() = 0;
    // Whether Mirvo can watch the hold key and post the paste chord here (what macOS calls
    // being trusted for accessibility).
    virtual bool canWatchAndPostKeys() = 0;
    // Why it may not, in a sentence for the user; empty when it may. Where the desktop holds the
    // key for Mirvo (a shortcut of its own) or keeps the paste to itself, what the user needs to
    // know of that instead.
    virtual QString keyAccessProblem() = 0;
    virtual SpeechAuthorizationStatus speechAuthorizationStatus() = 0;
    // Asks for speech-recognition permission; the status the platform then reports. Never throws.
    virtual QCoro::Task<SpeechAuthorizationStatus> requestSpeechAuthorization() = 0;
    // Microphone permission; may wait for the sound server, never longer than two seconds.
    virtual QCoro::Task<MicrophoneAuthorizationStatus> microphoneAuthorizationStatus() = 0;
    // Asks for microphone access; whether it is granted. Never throws.
    virtual QCoro::Task<bool> requestMicrophoneAccess() = 0;
    virtual std::unique_ptr<SignalSource> makeSignalSource() = 0;
    // The process's one in-process notification centre: the same object on every call.
    virtual std::shared_ptr<NotificationCenter> defaultNotificationCenter() = 0;
    // The user's configuration folder (~/.config on Linux), where Mirvo's own folder goes.
    virtual QString configDirectory() = 0;
    // Where the user's state that outlives a run goes ($XDG_STATE_HOME, ~/.local/state).
    virtual QString stateDirectory() = 0;
    // Mirvo's registration as a program started at login.
    virtual std::shared_ptr<LoginItemControlling> makeLoginItem() = 0;
    // Opens `url` with the desktop's handler for it; false when nothing could.
    virtual bool openURL(const QUrl& url) = 0;
    // The help page shipped with Mirvo.
    virtual QUrl helpPageURL() = 0;
    // Chooses how Qt reaches the desktop; called once, before the application object exists.
    virtual void chooseQtPlatform() {}
    // Why no window can be shown (no desktop session), in a sentence; empty when they can.
    // Asked after chooseQtPlatform(), before the application object exists.
    virtual QString desktopProblem() = 0;
    // A desktop notification with `summary`; nothing when the desktop has none.
    virtual void notifyUser(const QString& summary) = 0;
    // The icon in the system tray.
    virtual std::unique_ptr<Tray> makeTray() = 0;
    // The channel that keeps Mirvo to one process per desktop session.
    virtual std::unique_ptr<SingleInstance> makeSingleInstance() = 0;
    // Runs `handler` on the main thread when the session asks Mirvo to end (a logout, Ctrl+C),
    // instead of the process ending on the spot. Once per process.
    virtual void onTerminationRequest(std::function<void()> handler) = 0;
};

// Opens `url` through `platform`; a failure gets a log line. Whether it opened.
inline bool openURLOrSay(PlatformServices& platform, const QUrl& url) {
    const bool opened = platform.openURL(url);
    if (!opened)
        mirvoLog(QStringLiteral("[Mirvo] nothing could open ") + url.toString(), LogLevel::warning);
    return opened;
}
