#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/PlatformServices.h"
#include "platform/linux/desktop/DesktopSession.h"

#include <map>
#include <optional>

class PortalRemoteDesktop;
class X11Connection;
class VocabularyWatcher;

// The Linux desktop: X11 for keys, clipboard and windows, PulseAudio for the microphone,
// PocketSphinx for speech, libsndfile for audio files, the Secret Service for keys, QSettings
// and the XDG folders for what Mirvo keeps. In a Wayland session the hold key comes from the
// desktop portal's shortcut or the compositor's bindings (`mirvo --hold`), the clipboard from
// data-control (wl-clipboard where Mirvo cannot connect), the paste chord from a virtual
// keyboard of Mirvo's own on wlroots, KWin's fake input on KDE or, on GNOME, the desktop portal's
// remote desktop once the user allowed it (the clipboard too, there), and the windows go through
// XWayland (Qt is told so by chooseQtPlatform(), before the application object exists). Cheap
// to construct; each service is made when first asked for.
class LinuxPlatform final : public PlatformServices {
public:
    LinuxPlatform();
    ~LinuxPlatform() override;

    const DesktopCapabilities& capabilities() override;
    std::unique_ptr<KeyWatcher> watchHoldKey(const QString& holdKey,
                                             HoldKeyChanged changed) override;
    QString defaultHoldKey() override { return QStringLiteral("Control_R"); }
    // The keys the desktop's shortcut got, once it answered.
    QString holdKeyDisplayName(const QString& key) override {
        return shortcutKeys_.isEmpty() ? keysymDisplayName(key) : shortcutKeys_;
    }
    QString holdKeyNamed(quint32 nativeKey) override;
    PlatformTexts texts() override;
    std::unique_ptr<GlobalShortcut> makeGlobalShortcut() override;
    std::shared_ptr<KeyboardEvents> makeKeyboardEvents() override;
    std::shared_ptr<Pasteboard> makePasteboard() override;
    std::unique_ptr<AudioEngine> makeAudioEngine() override;
    AudioFileOpener audioFileOpener() override;
    SpeechRecognizerProvider speechRecognizers(const RecognitionSettings& settings) override;
    std::unique_ptr<HUDPanel> makeHUDPanel(QWidget* content) override;
    std::shared_ptr<UserDefaults> makeUserDefaults() override;
    std::shared_ptr<HTTPSession> makeHTTPSession() override;
    std::shared_ptr<SecretStore> makeSecretStore() override;
    std::unique_ptr<MediaPlayers> makeMediaPlayers() override;
    std::unique_ptr<OtherSounds> makeOtherSounds() override;
    std::function<QStringList()> vocabulary() override;
    QString vocabularyPath() override;
    bool speechModelInstalled() override;
    QCoro::Task<bool> microphoneAvailable() override;
    QCoro::Task<bool> allowKeys() override;
    std::unique_ptr<SignalSource> makeSignalSource() override;
    QString configDirectory() override;
    QString stateDirectory() override;
    std::shared_ptr<LoginItemControlling> makeLoginItem() override;
    bool openURL(const QUrl& url) override;
    QUrl helpPageURL() override;
    void chooseQtPlatform() override;
    QString desktopProblem() override;
    void notifyUser(const QString& summary) override;
    std::unique_ptr<Tray> makeTray() override;
    std::unique_ptr<SingleInstance> makeSingleInstance() override;
    void onTerminationRequest(std::function<void()> handler) override;

    const DesktopSession& session() const { return session_; }
    // The readable name of an X keysym name: "Control_R" → "Right Ctrl".
    static QString keysymDisplayName(const QString& keysymName);

private:
    std::shared_ptr<VocabularyWatcher> vocabularyWatcher();
    // GNOME's remote desktop session, which carries the chord and the clipboard; made when first
    // asked for, none without a portal.
    std::shared_ptr<PortalRemoteDesktop> remoteDesktop();
    // The key step's words while GNOME has not allowed the paste; `refusal`, why it said no.
    static QString remoteDesktopConsentNeeded(const QString& refusal);

    const DesktopSession session_;
    const std::shared_ptr<X11Connection> x11_;
    std::map<RecognitionSettings, SpeechRecognizerProvider> recognizers_;
    std::shared_ptr<VocabularyWatcher> vocabulary_;
    std::weak_ptr<Pasteboard> sharedClipboard_;
    std::shared_ptr<PortalRemoteDesktop> remoteDesktop_;
    bool remoteDesktopAsked_ = false;
    bool saidModelMissing_ = false;
    std::optional<DesktopCapabilities> capabilities_;
    // As capabilities() last returned them: what was found, and GNOME's leave as it is now.
    DesktopCapabilities current_;
    // The desktop's hold shortcut, once it answered: its keys, and what the checklist says of it.
    QString shortcutKeys_;
    QString holdShortcutNote_;
    QString lastMicrophoneProblem_;
};
