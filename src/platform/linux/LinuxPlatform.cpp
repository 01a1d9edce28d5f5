#include "LinuxPlatform.h"

#include "NetworkHTTPSession.h"
#include "PocketSphinxRecognizer.h"
#include "PosixSignalSource.h"
#include "PulseAudioEngine.h"
#include "QtClipboardPasteboard.h"
#include "QtHUDPanel.h"
#include "SettingsUserDefaults.h"
#include "SndFileAudioFile.h"
#include "X11Connection.h"
#include "XInput2EventTap.h"
#include "XTestKeyboardEvents.h"
#include "platform/NotificationCenter.h"

#include <QStandardPaths>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

LinuxPlatform::LinuxPlatform()
    : x11_(std::make_shared<X11Connection>()),
      notifications_(std::make_shared<NotificationCenter>()) {}

LinuxPlatform::~LinuxPlatform() = default;

std::unique_ptr<EventTap> LinuxPlatform::makeEventTap(uint64_t mask, EventTapCallback callback,
                                                      void* userInfo,
                                                      const QString& pushToTalkKey) {
    return XInput2EventTap::create(mask, callback, userInfo, pushToTalkKey);
}

std::shared_ptr<KeyboardEvents> LinuxPlatform::makeKeyboardEvents() {
    return std::make_shared<XTestKeyboardEvents>(x11_);
}

std::shared_ptr<Pasteboard> LinuxPlatform::makePasteboard() {
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
    // On X11 nothing is granted: Mirvo may observe keys and post them when the display offers
    // the two extensions it uses.
    Display* display = x11_->display();
    int event = 0, error = 0, major = 0, minor = 0;
    return X11Connection::hasXInput22(display) &&
           XTestQueryExtension(display, &event, &error, &major, &minor);
}

SpeechAuthorizationStatus LinuxPlatform::speechAuthorizationStatus() {
    // Linux asks nobody: speech is allowed when the on-device model is there to use.
    return PocketSphinxRecognizer::installedModelDirectory().isEmpty()
               ? SpeechAuthorizationStatus::denied
               : SpeechAuthorizationStatus::authorized;
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
