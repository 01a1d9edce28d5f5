#pragma once

#include "AudioFile.h"
#include "KeyWatcher.h"
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
class MediaPlayers;
class OtherSounds;
class Pasteboard;
class QWidget;
class SecretStore;
class SignalSource;
class SingleInstance;
class Tray;
class UserDefaults;

// What this desktop lets Mirvo do.
struct DesktopCapabilities {
    // How Mirvo learns that the hold key is held: it watches the key itself (X11), or the
    // desktop does (a shortcut of the desktop's, or its key bindings running `mirvo --hold`).
    enum class HoldKey { watched, throughDesktop };
    // How the paste chord reaches the focused application, if at all: remoteDesktop only once
    // the user has allowed it (GNOME's portal).
    enum class PasteChord { xtest, virtualKeyboard, kdeFakeInput, remoteDesktop, none };
    enum class Clipboard { x11, dataControl, wlClipboard };

    HoldKey holdKey = HoldKey::watched;
    PasteChord pasteChord = PasteChord::xtest;
    Clipboard clipboard = Clipboard::x11;
    // Whether Mirvo's windows can be seen (a Wayland session without XWayland has no place for
    // them), and whether translucent ones show as such (a compositor runs).
    bool screen = true;
    bool translucentWindows = false;
    // What the desktop lacks for the key and the paste, in a sentence for the user; empty when
    // nothing is missing.
    QString missing;
    // What the user needs to know of the key and the paste here (the checklist's key step);
    // %1 stands for the hold key.
    QString keyInstructions;

    bool keysReady() const { return missing.isEmpty(); }
};

// What Mirvo tells the user about the platform's own services, which only the platform can name.
struct PlatformTexts {
    QString speechEngine;       // the checklist's speech step: what recognises the words
    QString speechModel;        // the checklist's model step: what to install
    QString speechModelMissing; // a start failure: recognition is not allowed (no model)
    QString speechModelBroken;  // a start failure: the model does not load
};

// The one seam between Mirvo and the system it runs on: every system service the application
// uses is made here. One implementation per platform backend, one recording double for tests.
// Main thread only, unless a member says otherwise.
class PlatformServices {
public:
    virtual ~PlatformServices() = default;

    // What the desktop offers, and what Mirvo tells the user of it.

    // What this desktop offers Mirvo. Found once, but for what is missing, which is looked for
    // again while there is any, and the key instructions, which name the keys once the
    // desktop's shortcut has them.
    virtual const DesktopCapabilities& capabilities() = 0;
    // The hold key when the user chose none, as a key name of the platform ("Control_R").
    virtual QString defaultHoldKey() = 0;
    // How the user reads `key` ("Right Ctrl"); `key` is a key name of the platform.
    virtual QString holdKeyDisplayName(const QString& key) = 0;
    // The key name of the key a window of Mirvo's saw pressed (its native key code); empty when
    // the platform has no name for it.
    virtual QString holdKeyNamed(quint32 nativeKey) = 0;
    virtual PlatformTexts texts() = 0;
    // Whether the on-device speech model is installed (Linux asks nobody for speech).
    virtual bool speechModelInstalled() = 0;
    // Asks the desktop for what the key and the paste need, where the desktop asks its user
    // (GNOME's dialog for the remote-control keyboard); whether they are ready then.
    virtual QCoro::Task<bool> allowKeys() { co_return capabilities().keysReady(); }
    // Whether the sound server offers a microphone; may wait for the server, never longer than
    // two seconds.
    virtual QCoro::Task<bool> microphoneAvailable() = 0;

    // The services it makes.

    // Starts watching `holdKey` (a key name of the platform, such as "Control_R"); null where
    // the key cannot be watched.
    virtual std::unique_ptr<KeyWatcher> watchHoldKey(const QString& holdKey,
                                                     HoldKeyChanged changed) = 0;
    // The hold key as a shortcut the desktop watches for Mirvo; null where it offers none.
    virtual std::unique_ptr<GlobalShortcut> makeGlobalShortcut() = 0;
    virtual std::unique_ptr<SignalSource> makeSignalSource() = 0;
    virtual std::shared_ptr<KeyboardEvents> makeKeyboardEvents() = 0;
    virtual std::shared_ptr<Pasteboard> makePasteboard() = 0;
    virtual std::unique_ptr<AudioEngine> makeAudioEngine() = 0;
    virtual AudioFileOpener audioFileOpener() = 0;
    // Recognizers by locale for `settings`; every call with the same settings hands out the same
    // warm recognizers of the process.
    virtual SpeechRecognizerProvider speechRecognizers(const RecognitionSettings& settings) = 0;
    // The user's vocabulary, its entries as the user writes them: each call of the function
    // reads the current list (it may be called from any thread).
    virtual std::function<QStringList()> vocabulary() = 0;
    // The file the user writes the vocabulary in.
    virtual QString vocabularyPath() = 0;
    // The floating window hosting the HUD's `content` (which it owns); null without a screen.
    virtual std::unique_ptr<HUDPanel> makeHUDPanel(QWidget* content) = 0;
    // The icon in the system tray.
    virtual std::unique_ptr<Tray> makeTray() = 0;
    virtual std::shared_ptr<UserDefaults> makeUserDefaults() = 0;
    virtual std::shared_ptr<HTTPSession> makeHTTPSession() = 0;
    // The desktop's media players; none where the platform cannot reach them.
    virtual std::unique_ptr<MediaPlayers> makeMediaPlayers() { return nullptr; }
    // The other programs' sounds on the sound server; none where the platform cannot reach them.
    virtual std::unique_ptr<OtherSounds> makeOtherSounds() { return nullptr; }
    // The desktop's store for the speech services' keys.
    virtual std::shared_ptr<SecretStore> makeSecretStore() = 0;
    // Mirvo's registration as a program started at login.
    virtual std::shared_ptr<LoginItemControlling> makeLoginItem() = 0;
    // The channel that keeps Mirvo to one process per desktop session.
    virtual std::unique_ptr<SingleInstance> makeSingleInstance() = 0;

    // Where things are, and the desktop's own handlers.

    // The user's configuration folder (~/.config on Linux), where Mirvo's own folder goes.
    virtual QString configDirectory() = 0;
    // Where the user's state that outlives a run goes ($XDG_STATE_HOME, ~/.local/state).
    virtual QString stateDirectory() = 0;
    // The help page shipped with Mirvo.
    virtual QUrl helpPageURL() = 0;
    // Opens `url` with the desktop's handler for it; false when nothing could.
    virtual bool openURL(const QUrl& url) = 0;
    // A desktop notification with `summary`; nothing when the desktop has none.
    virtual void notifyUser(const QString& summary) = 0;

    // The process's life.

    // Chooses how Qt reaches the desktop; called once, before the application object exists.
    virtual void chooseQtPlatform() {}
    // Why no window can be shown (no desktop session), in a sentence; empty when they can.
    // Asked after chooseQtPlatform(), before the application object exists.
    virtual QString desktopProblem() = 0;
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
