#include "LinuxPlatform.h"

#include "platform/linux/system/HelperProcess.h"
#include "platform/linux/wayland/DataControlPasteboard.h"
#include "platform/linux/wayland/WaylandKeyboardEvents.h"
#include "platform/linux/wayland/WlClipboardPasteboard.h"

#include "common/Log.h"
#include "platform/linux/desktop/KeychainSecretStore.h"
#include "platform/linux/desktop/LocalSocketInstance.h"
#include "platform/linux/desktop/MprisMediaPlayers.h"
#include "platform/linux/desktop/NetworkHTTPSession.h"
#include "platform/linux/desktop/PosixSignalSource.h"
#include "platform/linux/desktop/SettingsUserDefaults.h"
#include "platform/linux/desktop/SystemLoginItem.h"
#include "platform/linux/desktop/SystemTray.h"
#include "platform/linux/sound/PulseAudioEngine.h"
#include "platform/linux/sound/PulseOtherSounds.h"
#include "platform/linux/sound/SndFileAudioFile.h"
#include "platform/linux/speech/PocketSphinxRecognizer.h"
#include "platform/linux/wayland/PortalClipboard.h"
#include "platform/linux/wayland/PortalGlobalShortcut.h"
#include "platform/linux/wayland/PortalRemoteDesktop.h"
#include "platform/linux/x11/QtClipboardPasteboard.h"
#include "platform/linux/x11/QtHUDPanel.h"
#include "platform/linux/x11/X11Connection.h"
#include "platform/linux/x11/XInput2KeyWatcher.h"
#include "platform/linux/x11/XTestKeyboardEvents.h"

#include <QCoreApplication>
#include <QCoro/QCoroFuture>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QStandardPaths>
#include <QtConcurrent>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <csignal>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The log's way to the system journal; called with the log's lock held.
void toSyslog(LogLevel level, const char* line) {
    static bool opened = false;
    if (!std::exchange(opened, true))
        openlog("mirvo", LOG_PID, LOG_USER);
    const int priority = level == LogLevel::error     ? LOG_ERR
                         : level == LogLevel::warning ? LOG_WARNING
                                                      : LOG_INFO;
    syslog(priority, "%s", line);
}

long kernelThreadId() {
    return long(syscall(SYS_gettid));
}

} // namespace

LinuxPlatform::LinuxPlatform()
    : session_(DesktopSession::detect(QProcessEnvironment::systemEnvironment())),
      x11_(std::make_shared<X11Connection>()) {
    setJournalSink(&toSyslog);
    setThreadIdSource(&kernelThreadId);
    // A reader that goes away mid-transfer (`wl-paste | head -c1` on a large item Mirvo serves,
    // a command that gives up on its answer) ends that write with EPIPE, not Mirvo.
    ::signal(SIGPIPE, SIG_IGN);
}

LinuxPlatform::~LinuxPlatform() = default;

QString LinuxPlatform::keysymDisplayName(const QString& keysymName) {
    static const QHash<QString, QString> words = {
        {QStringLiteral("Control"), QStringLiteral("Ctrl")},
        {QStringLiteral("Alt"), QStringLiteral("Alt")},
        {QStringLiteral("Shift"), QStringLiteral("Shift")},
        {QStringLiteral("Super"), QStringLiteral("Super")},
        {QStringLiteral("Meta"), QStringLiteral("Meta")},
        {QStringLiteral("Hyper"), QStringLiteral("Hyper")},
        {QStringLiteral("ISO_Level3_Shift"), QStringLiteral("AltGr")},
        {QStringLiteral("Caps_Lock"), QStringLiteral("Caps Lock")},
        {QStringLiteral("Scroll_Lock"), QStringLiteral("Scroll Lock")},
        {QStringLiteral("Num_Lock"), QStringLiteral("Num Lock")},
    };
    if (const auto found = words.constFind(keysymName); found != words.cend())
        return *found;
    const QString base = keysymName.left(keysymName.size() - 2);
    if (keysymName.endsWith(QLatin1String("_R")) || keysymName.endsWith(QLatin1String("_L"))) {
        const QString side = keysymName.endsWith(QLatin1Char('R')) ? QStringLiteral("Right")
                                                                   : QStringLiteral("Left");
        return side + QLatin1Char(' ') + words.value(base, QString(base).replace('_', ' '));
    }
    return QString(keysymName).replace(QLatin1Char('_'), QLatin1Char(' '));
}

PlatformTexts LinuxPlatform::texts() {
    return {
        QStringLiteral("Mirvo uses the on-device PocketSphinx speech engine to transcribe what "
                       "you say. Nothing leaves your computer."),
        QStringLiteral("The on-device speech engine only runs when its English model loads. "
                       "Install the pocketsphinx-en-us package; Open Settings shows how."),
        QStringLiteral("Speech model missing. Install the pocketsphinx-en-us package."),
        QStringLiteral("The speech model does not load. Reinstall the pocketsphinx-en-us "
                       "package."),
    };
}

const DesktopCapabilities& LinuxPlatform::capabilities() {
    // Found once; but while something is missing it is looked for again, since the user may
    // install it with the checklist open.
    if (!capabilities_ || !capabilities_->keysReady()) {
        DesktopCapabilities found;
        if (session_.isWayland()) {
            found = session_.waylandCapabilities();
            if (found.pasteChord == DesktopCapabilities::PasteChord::remoteDesktop &&
                !remoteDesktop())
                found.pasteChord = DesktopCapabilities::PasteChord::none;
            found.keyInstructions = session_.keyInstructions(holdShortcutNote_, found.pasteChord);
        } else {
            found.missing = x11_->missingForKeys();
            found.keyInstructions =
                QStringLiteral("Mirvo needs the X11 input extensions (XInput 2.2 and XTEST) to "
                               "detect %1 globally and to paste the transcript into whichever "
                               "app has focus.");
        }
        found.translucentWindows = found.screen && QtHUDPanel::compositorRunning(x11_->display());
        capabilities_ = found;
    }
    // GNOME's leave comes and goes with the user's answers to its dialog.
    current_ = *capabilities_;
    if (current_.pasteChord == DesktopCapabilities::PasteChord::remoteDesktop &&
        current_.keysReady() && !remoteDesktop_->allowed())
        current_.missing = remoteDesktopConsentNeeded(remoteDesktop_->refusal());
    return current_;
}

std::unique_ptr<KeyWatcher> LinuxPlatform::watchHoldKey(const QString& holdKey,
                                                        HoldKeyChanged changed) {
    return XInput2KeyWatcher::create(holdKey, std::move(changed));
}

QString LinuxPlatform::holdKeyNamed(quint32 nativeKey) {
    // Qt's native key on X11 (and XWayland) is the keysym.
    const char* name = nativeKey ? XKeysymToString(KeySym(nativeKey)) : nullptr;
    return name ? QString::fromLatin1(name) : QString();
}

std::unique_ptr<GlobalShortcut> LinuxPlatform::makeGlobalShortcut() {
    if (!session_.isWayland())
        return nullptr;
    std::unique_ptr<PortalGlobalShortcut> shortcut = PortalGlobalShortcut::create();
    if (!shortcut)
        return nullptr;
    PortalGlobalShortcut* portal = shortcut.get();
    QObject::connect(portal, &GlobalShortcut::bound, portal, [this, portal](const QString& keys) {
        shortcutKeys_ = keys;
        holdShortcutNote_ =
            keys.isEmpty()
                ? QStringLiteral("Your desktop gave Mirvo's shortcut \"%1\" no keys yet: set "
                                 "them in its shortcut settings.")
                      .arg(portal->description())
                : QStringLiteral("Hold %1 (your desktop's shortcut \"%2\"), speak, and release.")
                      .arg(keys, portal->description());
        if (capabilities_)
            capabilities_->keyInstructions =
                session_.keyInstructions(holdShortcutNote_, capabilities_->pasteChord);
    });
    return shortcut;
}

std::shared_ptr<PortalRemoteDesktop> LinuxPlatform::remoteDesktop() {
    if (!remoteDesktopAsked_) {
        remoteDesktopAsked_ = true;
        remoteDesktop_ = PortalRemoteDesktop::create(stateDirectory() +
                                                     QStringLiteral("/mirvo/remote-desktop-token"));
    }
    return remoteDesktop_;
}

QString LinuxPlatform::remoteDesktopConsentNeeded(const QString& refusal) {
    const QString how = QStringLiteral(
        "press Open Settings, and in GNOME's \"Remote Desktop\" dialog allow Mirvo to control "
        "the keyboard (only the keyboard: Mirvo presses Ctrl+V). Until then Mirvo leaves your "
        "words on the clipboard.");
    return refusal.isEmpty()
               ? QStringLiteral("GNOME lets Mirvo paste only with your leave: ") + how
               : QStringLiteral("GNOME did not let Mirvo paste (%1). To allow it again, %2")
                     .arg(refusal, how);
}

QCoro::Task<bool> LinuxPlatform::allowKeys() {
    if (capabilities().pasteChord == DesktopCapabilities::PasteChord::remoteDesktop)
        co_await remoteDesktop_->start();
    co_return capabilities().keysReady();
}

std::shared_ptr<KeyboardEvents> LinuxPlatform::makeKeyboardEvents() {
    if (session_.isWayland()) {
        const DesktopCapabilities::PasteChord chord = capabilities().pasteChord;
        if (chord == DesktopCapabilities::PasteChord::remoteDesktop) {
            mirvoLog(QStringLiteral("[Mirvo] paste chord: through the desktop portal (remote "
                                    "desktop), once the user allows it"));
            return remoteDesktop_;
        }
        auto keyboard = std::make_shared<WaylandKeyboardEvents>(chord);
        if (chord != DesktopCapabilities::PasteChord::none)
            mirvoLog(QStringLiteral("[Mirvo] paste chord: ") + keyboard->chordPath());
        return keyboard;
    }
    return std::make_shared<XTestKeyboardEvents>(x11_);
}

std::shared_ptr<Pasteboard> LinuxPlatform::makePasteboard() {
    // An X11 client that has no focus cannot set the Wayland clipboard.
    if (session_.isWayland()) {
        // One connection for the process: two would each wait for the other to answer a read
        // of what it offers, and Mirvo's own offer is answered from memory.
        if (std::shared_ptr<Pasteboard> shared = sharedClipboard_.lock())
            return shared;
        std::shared_ptr<Pasteboard> own;
        if (capabilities().pasteChord == DesktopCapabilities::PasteChord::remoteDesktop) {
            mirvoLog(QStringLiteral("[Mirvo] clipboard: through the desktop portal once the user "
                                    "allows it, through wl-copy and wl-paste until then"));
            own = std::make_shared<PortalClipboard>(remoteDesktop_,
                                                    std::make_shared<WlClipboardPasteboard>());
            sharedClipboard_ = own;
            return own;
        }
        if (capabilities().clipboard == DesktopCapabilities::Clipboard::dataControl)
            own = DataControlPasteboard::connect();
        if (own) {
            mirvoLog(QStringLiteral("[Mirvo] clipboard: through the compositor (data-control)"));
            sharedClipboard_ = own;
            return own;
        }
        mirvoLog(QStringLiteral("[Mirvo] clipboard: through wl-copy and wl-paste"));
        return std::make_shared<WlClipboardPasteboard>();
    }
    return std::make_shared<QtClipboardPasteboard>();
}

std::unique_ptr<AudioEngine> LinuxPlatform::makeAudioEngine() {
    return std::make_unique<PulseAudioEngine>();
}

AudioFileOpener LinuxPlatform::audioFileOpener() {
    return &SndFileAudioFile::open;
}

SpeechRecognizerProvider LinuxPlatform::speechRecognizers(const RecognitionSettings& settings) {
    // One decoder pool per choice for the process, warming up from the first request on.
    SpeechRecognizerProvider& provider = recognizers_[settings];
    if (!provider)
        provider = PocketSphinxRecognizer::makeProvider(settings, vocabularyWatcher());
    return provider;
}

std::shared_ptr<VocabularyWatcher> LinuxPlatform::vocabularyWatcher() {
    if (!vocabulary_)
        vocabulary_ = std::make_shared<VocabularyWatcher>(vocabularyPath());
    return vocabulary_;
}

QString LinuxPlatform::vocabularyPath() {
    return UserVocabulary::defaultPath(configDirectory());
}

std::function<QStringList()> LinuxPlatform::vocabulary() {
    return [watcher = vocabularyWatcher()] { return watcher->current()->phrases; };
}

std::unique_ptr<HUDPanel> LinuxPlatform::makeHUDPanel(QWidget* content) {
    if (!capabilities().screen) {
        delete content;
        return nullptr;
    }
    return QtHUDPanel::create(content);
}

std::shared_ptr<UserDefaults> LinuxPlatform::makeUserDefaults() {
    return std::make_shared<SettingsUserDefaults>(configDirectory() +
                                                  QStringLiteral("/Mirvo/defaults.conf"));
}

std::shared_ptr<HTTPSession> LinuxPlatform::makeHTTPSession() {
    return std::make_shared<NetworkHTTPSession>();
}

std::unique_ptr<MediaPlayers> LinuxPlatform::makeMediaPlayers() {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() ? std::make_unique<MprisMediaPlayers>(bus) : nullptr;
}

std::unique_ptr<OtherSounds> LinuxPlatform::makeOtherSounds() {
    return std::make_unique<PulseOtherSounds>();
}

std::shared_ptr<SecretStore> LinuxPlatform::makeSecretStore() {
    return std::make_shared<KeychainSecretStore>();
}

bool LinuxPlatform::speechModelInstalled() {
    const bool installed = !PocketSphinxRecognizer::installedModelDirectory().isEmpty();
    if (!installed && !saidModelMissing_) {
        saidModelMissing_ = true;
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] no complete speech model (en-us/, "
                                "en-us.lm.bin, cmudict-en-us.dict) at %1")
                     .arg(PocketSphinxRecognizer::modelDirectoryToUse()),
                 LogLevel::warning);
    }
    return installed;
}

QCoro::Task<bool> LinuxPlatform::microphoneAvailable() {
    // The sound server may hang (a socket that never answers), so the question is asked off the
    // main thread and bounded.
    const QString problem =
        co_await QtConcurrent::run(&PulseAudioEngine::defaultSourceProblem, 1500);
    if (problem != lastMicrophoneProblem_) {
        lastMicrophoneProblem_ = problem;
        if (!problem.isEmpty())
            mirvoLog(QStringLiteral("[Mirvo/Audio] no microphone: ") + problem, LogLevel::warning);
    }
    co_return problem.isEmpty();
}

std::unique_ptr<SignalSource> LinuxPlatform::makeSignalSource() {
    return std::make_unique<PosixSignalSource>();
}

QString LinuxPlatform::configDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
}

QString LinuxPlatform::stateDirectory() {
    // As the XDG base directories have it: only an absolute path counts.
    const QString set = qEnvironmentVariable("XDG_STATE_HOME");
    return QDir::isAbsolutePath(set) ? set : QDir::homePath() + QStringLiteral("/.local/state");
}

std::shared_ptr<LoginItemControlling> LinuxPlatform::makeLoginItem() {
    return std::make_shared<SystemLoginItem>();
}

bool LinuxPlatform::openURL(const QUrl& url) {
    return QDesktopServices::openUrl(url);
}

QUrl LinuxPlatform::helpPageURL() {
    // Installed beside the program's share folder, or in the build tree next to the binary.
    const QString dir = QCoreApplication::applicationDirPath();
    const QStringList candidates = {dir + QStringLiteral("/../share/mirvo/help.html"),
                                    dir + QStringLiteral("/share/mirvo/help.html")};
    for (const QString& path : candidates)
        if (QFileInfo::exists(path))
            return QUrl::fromLocalFile(QFileInfo(path).canonicalFilePath());
    mirvoLog(QStringLiteral("[Mirvo] help page not found in ") + candidates.join(", "),
             LogLevel::warning);
    return QUrl::fromLocalFile(candidates.first());
}

void LinuxPlatform::notifyUser(const QString& summary) {
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << QStringLiteral("Mirvo") << uint(0) << QStringLiteral("mirvo") << summary << QString()
           << QStringList() << QVariantMap() << int(4000);
    if (!QDBusConnection::sessionBus().send(notify))
        mirvoLog(QStringLiteral("[Mirvo] no desktop notifications (no session bus): ") + summary,
                 LogLevel::warning);
}

void LinuxPlatform::chooseQtPlatform() {
    if (!session_.isWayland())
        return;
    mirvoLog(QStringLiteral("[Mirvo] session: ") + session_.description());
    // Mirvo's windows are X11 windows (the HUD never takes focus); without XWayland there is
    // nothing to show them on.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", session_.xwayland ? "xcb" : "offscreen");
        if (!session_.xwayland)
            mirvoLog(QStringLiteral("[Mirvo] no XWayland: running without the HUD and windows"),
                     LogLevel::warning);
    }
}

QString LinuxPlatform::desktopProblem() {
    // Another Qt platform (offscreen, in tests) needs no X server.
    const QString qpa = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!qpa.isEmpty() && !qpa.startsWith(QLatin1String("xcb")))
        return QString();
    const QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty())
        return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                   ? QStringLiteral("Mirvo needs an X11 desktop session: DISPLAY is not set "
                                    "(this Wayland session has no X11)")
                   : QStringLiteral("Mirvo needs a desktop session: DISPLAY is not set");
    if (!x11_->display())
        return QStringLiteral("Mirvo needs a desktop session: the X display %1 does not answer")
            .arg(display);
    return QString();
}

std::unique_ptr<Tray> LinuxPlatform::makeTray() {
    return std::make_unique<SystemTray>();
}

std::unique_ptr<SingleInstance> LinuxPlatform::makeSingleInstance() {
    return std::make_unique<LocalSocketInstance>();
}

void LinuxPlatform::onTerminationRequest(std::function<void()> handler) {
    watchTerminationSignals(std::move(handler));
}
