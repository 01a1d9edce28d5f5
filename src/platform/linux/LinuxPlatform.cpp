#include "LinuxPlatform.h"

#include "HelperProcess.h"
#include "WlClipboardPasteboard.h"
#include "WtypeKeyboardEvents.h"

#include "LocalSocketInstance.h"
#include "NetworkHTTPSession.h"
#include "PocketSphinxRecognizer.h"
#include "PosixSignalSource.h"
#include "PulseAudioEngine.h"
#include "QtClipboardPasteboard.h"
#include "QtHUDPanel.h"
#include "SettingsUserDefaults.h"
#include "SndFileAudioFile.h"
#include "SystemLoginItem.h"
#include "SystemTray.h"
#include "X11Connection.h"
#include "XInput2EventTap.h"
#include "XTestKeyboardEvents.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"

#include <QCoreApplication>
#include <QCoro/QCoroFuture>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>
#include <QStandardPaths>
#include <QtConcurrent>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

LinuxPlatform::LinuxPlatform()
    : session_(DesktopSession::detect(QProcessEnvironment::systemEnvironment())),
      x11_(std::make_shared<X11Connection>()),
      notifications_(std::make_shared<NotificationCenter>()) {}

LinuxPlatform::~LinuxPlatform() = default;

std::unique_ptr<EventTap> LinuxPlatform::makeEventTap(uint64_t mask, EventTapCallback callback,
                                                      void* userInfo,
                                                      const QString& pushToTalkKey) {
    return XInput2EventTap::create(mask, callback, userInfo, pushToTalkKey);
}

std::shared_ptr<KeyboardEvents> LinuxPlatform::makeKeyboardEvents() {
    if (session_.isWayland())
        return std::make_shared<WtypeKeyboardEvents>();
    return std::make_shared<XTestKeyboardEvents>(x11_);
}

std::shared_ptr<Pasteboard> LinuxPlatform::makePasteboard() {
    // An X11 client that has no focus cannot set the Wayland clipboard.
    if (session_.isWayland())
        return std::make_shared<WlClipboardPasteboard>();
    return std::make_shared<QtClipboardPasteboard>();
}

std::unique_ptr<AudioEngine> LinuxPlatform::makeAudioEngine() {
    return std::make_unique<PulseAudioEngine>();
}

AudioFileOpener LinuxPlatform::audioFileOpener() {
    return &SndFileAudioFile::open;
}

SpeechRecognizerProvider LinuxPlatform::speechRecognizers(RecognitionProfile profile) {
    // One decoder pool per profile for the process, warming up from the first request on.
    SpeechRecognizerProvider& provider = recognizers_[profile];
    if (!provider)
        provider = PocketSphinxRecognizer::makeProvider(profile);
    return provider;
}

std::unique_ptr<HUDPanel> LinuxPlatform::makeHUDPanel(QWidget* content) {
    if (!hasScreen()) {
        delete content;
        return nullptr;
    }
    return QtHUDPanel::create(content);
}

bool LinuxPlatform::compositorRunning() {
    return QtHUDPanel::compositorRunning(x11_->display());
}

std::shared_ptr<UserDefaults> LinuxPlatform::makeUserDefaults() {
    return std::make_shared<SettingsUserDefaults>(applicationSupportDirectory() +
                                                  QStringLiteral("/Mirvo/defaults.conf"));
}

std::shared_ptr<HTTPSession> LinuxPlatform::makeHTTPSession() {
    return std::make_shared<NetworkHTTPSession>();
}

bool LinuxPlatform::accessibilityIsProcessTrusted() {
    if (session_.isWayland())
        return waylandProblem().isEmpty();
    return accessibilityProblem().isEmpty();
}

QString LinuxPlatform::waylandProblem() const {
    QStringList missing;
    const QStringList helpers = session_.wlroots ? QStringList{"wl-copy", "wl-paste", "wtype"}
                                                 : QStringList{"wl-copy", "wl-paste"};
    for (const QString& helper : helpers)
        if (!HelperProcess::exists(helper))
            missing.append(helper);
    if (!missing.isEmpty())
        return QStringLiteral("Mirvo needs %1 on this Wayland desktop: install the wl-clipboard "
                              "and wtype packages.")
            .arg(missing.join(QStringLiteral(", ")));
    if (!session_.wlroots)
        return QString();
    const QStringList globals = waylandGlobals();
    if (!globals.contains(QStringLiteral("zwlr_data_control_manager_v1")))
        return QStringLiteral("The compositor does not offer the clipboard to Mirvo "
                              "(wlr-data-control).");
    if (!globals.contains(QStringLiteral("zwp_virtual_keyboard_manager_v1")))
        return QStringLiteral("The compositor does not let Mirvo type the paste chord "
                              "(virtual-keyboard).");
    return QString();
}

QString LinuxPlatform::accessibilityProblem() {
    if (session_.isWayland()) {
        const QString problem = waylandProblem();
        if (!problem.isEmpty() || session_.wlroots)
            return problem;
        return QStringLiteral("This desktop (%1 on Wayland) lets no program paste into another: "
                              "Mirvo leaves your words on the clipboard and tells you to press "
                              "Ctrl+V. Bind a shortcut to \"mirvo --toggle\" to dictate.")
            .arg(session_.compositor.isEmpty() ? QStringLiteral("GNOME or KDE")
                                               : session_.compositor);
    }
    // On X11 nothing is granted: Mirvo may observe keys and post them when the display offers
    // the two extensions it uses.
    Display* display = x11_->display();
    if (!display)
        return qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
                   ? QStringLiteral("This is a Wayland session without X11, where Mirvo cannot "
                                    "watch the hold key or paste yet. Log in to an X11 session "
                                    "to dictate.")
                   : QStringLiteral("Mirvo finds no X11 display (DISPLAY is not set or the "
                                    "server does not answer), so it cannot watch the hold key "
                                    "or paste.");
    if (!X11Connection::hasXInput22(display))
        return QStringLiteral("The X server lacks XInput 2.2, which Mirvo needs to watch the "
                              "hold key.");
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(display, &event, &error, &major, &minor))
        return QStringLiteral("The X server lacks the XTEST extension, which Mirvo needs to "
                              "paste.");
    return QString();
}

SpeechAuthorizationStatus LinuxPlatform::speechAuthorizationStatus() {
    // Linux asks nobody: speech is allowed when the on-device model is there to use.
    const bool installed = !PocketSphinxRecognizer::installedModelDirectory().isEmpty();
    if (!installed && !saidModelMissing_) {
        saidModelMissing_ = true;
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] no complete speech model (en-us/, "
                                "en-us.lm.bin, cmudict-en-us.dict) at %1")
                     .arg(PocketSphinxRecognizer::modelDirectoryToUse()),
                 LogLevel::warning);
    }
    return installed ? SpeechAuthorizationStatus::authorized : SpeechAuthorizationStatus::denied;
}

QCoro::Task<MicrophoneAuthorizationStatus> LinuxPlatform::microphoneAuthorizationStatus() {
    // Nobody grants the microphone either: it is there when the sound server offers a source.
    // The server may hang (a socket that never answers), so the question is asked off the main
    // thread and bounded.
    const QString problem =
        co_await QtConcurrent::run(&PulseAudioEngine::defaultSourceProblem, 1500);
    if (problem != lastMicrophoneProblem_) {
        lastMicrophoneProblem_ = problem;
        if (!problem.isEmpty())
            mirvoLog(QStringLiteral("[Mirvo/Audio] no microphone: ") + problem, LogLevel::warning);
    }
    co_return problem.isEmpty() ? MicrophoneAuthorizationStatus::authorized
                                : MicrophoneAuthorizationStatus::denied;
}

QCoro::Task<bool> LinuxPlatform::requestMicrophoneAccess() {
    co_return co_await microphoneAuthorizationStatus() == MicrophoneAuthorizationStatus::authorized;
}

QCoro::Task<SpeechAuthorizationStatus> LinuxPlatform::requestSpeechAuthorization() {
    co_return speechAuthorizationStatus();
}

std::unique_ptr<SignalSource> LinuxPlatform::makeSignalSource() {
    return std::make_unique<PosixSignalSource>();
}

std::shared_ptr<NotificationCenter> LinuxPlatform::defaultNotificationCenter() {
    return notifications_;
}

QString LinuxPlatform::applicationSupportDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
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
    chooseQtPlatform();
    // Another Qt platform (offscreen, in tests) needs no X server.
    const QString qpa = qEnvironmentVariable("QT_QPA_PLATFORM");
    if (!qpa.isEmpty() && !qpa.startsWith(QLatin1String("xcb")))
        return QString();
    const QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty())
        return qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
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
