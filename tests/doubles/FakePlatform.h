#pragma once

#include "CallLog.h"
#include "mirvo/LoginItem.h"
#include "platform/AudioEngine.h"
#include "platform/HTTPSession.h"
#include "platform/HUDPanel.h"
#include "platform/KeyboardEvents.h"
#include "platform/NotificationCenter.h"
#include "platform/Pasteboard.h"
#include "platform/PlatformServices.h"
#include "platform/SignalSource.h"
#include "platform/SingleInstance.h"
#include "platform/Tray.h"
#include "platform/UserDefaults.h"

#include <QVariantMap>
#include <QWidget>

#include <exception>
#include <mutex>
#include <vector>

// A tap the test drives: deliver() plays an event through the callback as the system would.
class FakeEventTap final : public EventTap {
public:
    FakeEventTap(EventTapCallback callback, void* userInfo)
        : callback_(callback), userInfo_(userInfo) {}
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }
    TapEvent deliver(TapEvent event) { return callback_(event, userInfo_); }
    TapEvent flags(uint64_t flags) { return deliver({TapEvent::flagsChanged, flags}); }

private:
    EventTapCallback callback_;
    void* userInfo_;
    bool enabled_ = false;
};

class FakeKeyboardEvents final : public KeyboardEvents {
public:
    void postPasteChord() override {
        ++chords;
        if (onChord)
            onChord();
    }
    int chords = 0;
    std::function<void()> onChord;
};

// An in-memory clipboard: items of typed data, some types of which may refuse to be read.
class FakePasteboard final : public Pasteboard {
public:
    struct Item {
        std::vector<std::pair<QString, QByteArray>> types; // in listing order
        QStringList unreadable;                            // the owner cannot supply these
        QStringList failing; // reading these fails (a slow or huge source)
    };
    std::optional<std::vector<std::unique_ptr<PasteboardItem>>> pasteboardItems() override;
    void clearContents() override;
    bool setString(const QString& text, bool transient) override;
    bool writeObjects(const std::vector<PasteboardItemData>& written) override;
    quint64 fetchCount() const override { return fetches; }
    // Another application takes the contents.
    void fetch() { ++fetches; }
    QString text() const;

    std::vector<Item> items;
    bool hasContents = true;
    bool refusesText = false; // setString() cannot take the clipboard
    quint64 fetches = 0;
    QStringList calls;
};

// Records what the recorder asks of the engine; capture() plays the capture thread.
class FakeAudioEngine final : public AudioEngine {
public:
    void installTap(uint32_t bufferSize, TapBlock block) override {
        tapBufferSize = bufferSize;
        tap = std::move(block);
    }
    void removeTap() override {
        ++tapsRemoved;
        tap = nullptr;
    }
    void start() override {
        ++starts;
        if (startError)
            std::rethrow_exception(startError);
        running = true;
    }
    void stop() override {
        ++stops;
        running = false;
    }
    bool isRunning() const override { return running; }
    void capture(const AudioBufferPtr& buffer) {
        if (tap)
            tap(buffer);
    }
    TapBlock tap;
    uint32_t tapBufferSize = 0;
    int starts = 0;
    int stops = 0;
    int tapsRemoved = 0;
    bool running = false;
    std::exception_ptr startError;
};

// A recognition task whose results the test delivers, from whichever thread it likes.
class FakeRecognitionTask final : public RecognitionTask {
public:
    FakeRecognitionTask(std::shared_ptr<RecognitionRequest> request, RecognitionHandler handler)
        : request(std::move(request)), handler_(std::move(handler)) {}
    void cancel() override { cancelled = true; }
    void deliver(const QString& text, std::vector<double> timestamps, bool isFinal) {
        handler_(RecognitionResult{text, std::move(timestamps), isFinal}, std::nullopt);
    }
    void fail(const PlatformError& error) { handler_(std::nullopt, error); }
    // Buffers taken from the request so far, in order.
    std::vector<AudioBufferPtr> received() {
        for (AudioBufferPtr& b : request->takeAvailable())
            taken_.push_back(std::move(b));
        return taken_;
    }
    const std::shared_ptr<RecognitionRequest> request;
    std::atomic<bool> cancelled{false};

private:
    RecognitionHandler handler_;
    std::vector<AudioBufferPtr> taken_;
};

class FakeSpeechRecognizer final : public SpeechRecognizer,
                                   public std::enable_shared_from_this<FakeSpeechRecognizer> {
public:
    bool isAvailable() const override { return available; }
    bool supportsOnDeviceRecognition() const override { return onDevice; }
    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     RecognitionHandler handler) override;
    std::shared_ptr<FakeRecognitionTask> task(size_t i);
    size_t taskCount();
    // Hands out this recognizer for "en-US" only.
    SpeechRecognizerProvider provider();

    bool available = true;
    bool onDevice = true;
    std::exception_ptr nextTaskError;
    // Answers requests that want no partial results (the checklist's probes) with "no speech"
    // as soon as the event loop runs, as the real recognizer does for an empty request.
    bool answersProbes = false;

private:
    std::mutex mutex_;
    std::vector<std::shared_ptr<FakeRecognitionTask>> tasks_;
};

// Records what the HUD controller asks of the panel. A fade stays pending until finishFade();
// starting another fade first ends the pending one, as a superseded animation does.
class FakeHUDPanel final : public HUDPanel {
public:
    explicit FakeHUDPanel(QWidget* content = nullptr) : content_(content) {}
    void setIgnoresMouseEvents(bool ignores) override;
    double alpha() const override { return alpha_; }
    void setAlpha(double alpha) override;
    bool isVisible() const override { return visible; }
    void orderFrontRegardless() override;
    void animateAlpha(double target, double seconds, std::function<void()> completion) override;
    void orderOut() override;
    // Runs the pending fade to its end.
    void finishFade();
    bool fadePending() const { return fadePending_; }

    QStringList calls;
    bool visible = false;

private:
    std::unique_ptr<QWidget> content_;
    double alpha_ = 1;
    double pendingTarget_ = 0;
    bool fadePending_ = false;
    std::function<void()> pendingCompletion_;
};

class FakeUserDefaults final : public UserDefaults {
public:
    bool boolForKey(const QString& key) const override { return values.value(key).toBool(); }
    QString stringForKey(const QString& key) const override { return values.value(key).toString(); }
    void setValue(const QString& key, const QVariant& value) override { values[key] = value; }
    void removeValue(const QString& key) override { values.remove(key); }
    QVariantMap values;
};

// Records every request and answers with the next scripted response or error.
class FakeHTTPSession final : public HTTPSession {
public:
    QCoro::Task<HTTPResponse> data(HTTPRequest request) override;
    void answer(int status, const QByteArray& body) { script.append({{true, status, body}, {}}); }
    void fail(std::exception_ptr error) { script.append({{}, std::move(error)}); }

    QList<std::pair<HTTPResponse, std::exception_ptr>> script;
    QList<HTTPRequest> requests;
};

// Test-mode signals the test sends with send().
class FakeSignalSource final : public SignalSource {
public:
    void start(std::function<void(Signal)> handler) override {
        if (startError)
            std::rethrow_exception(startError);
        handler_ = std::move(handler);
    }
    void send(Signal signal) {
        if (handler_)
            handler_(signal);
    }
    std::exception_ptr startError;

private:
    std::function<void(Signal)> handler_;
};

// Records what is shown in the tray; `available` is scripted.
class FakeTray final : public Tray {
public:
    void show(const QIcon& icon, const QString& toolTip, QMenu* menu) override {
        shownIcon = icon;
        this->toolTip = toolTip;
        this->menu = menu;
        ++shows;
    }
    bool isAvailable() const override { return available; }
    void showMessage(const QString& title, const QString& message) override {
        if (available)
            messages.append(title + ": " + message);
    }
    bool available = true;
    QIcon shownIcon;
    QString toolTip;
    QMenu* menu = nullptr;
    int shows = 0;
    QStringList messages;
};

// Plays the scripted role; receive() plays another launch's command.
class FakeSingleInstance final : public SingleInstance {
public:
    explicit FakeSingleInstance(Role role) : role_(role) {}
    Role claim(const QStringList& arguments) override {
        claimedWith = arguments;
        return role_;
    }
    Delivery deliver(const QString& command) override {
        delivered.append(command);
        return delivery;
    }
    void receive(const QStringList& arguments) { emit commandReceived(openCommand, arguments); }
    QStringList claimedWith;
    QStringList delivered;
    Delivery delivery = Delivery::delivered;

private:
    Role role_;
};

// The platform as a test scripts it. Every service it makes is recorded in the log (as
// "makeEventTap Control_R", "makePasteboard", …) and kept reachable for the test.
class FakePlatform final : public PlatformServices {
public:
    explicit FakePlatform(std::shared_ptr<CallLog> log = std::make_shared<CallLog>());

    std::unique_ptr<EventTap> makeEventTap(uint64_t mask, EventTapCallback callback, void* userInfo,
                                           const QString& pushToTalkKey) override;
    bool holdKeyObservable() override { return keyObservable; }
    bool hasScreen() override { return screen; }
    bool canPostPasteChord() override { return pasteChordPossible; }
    std::shared_ptr<KeyboardEvents> makeKeyboardEvents() override;
    std::shared_ptr<Pasteboard> makePasteboard() override;
    std::unique_ptr<AudioEngine> makeAudioEngine() override;
    AudioFileOpener audioFileOpener() override;
    SpeechRecognizerProvider speechRecognizers(RecognitionProfile profile) override;
    std::unique_ptr<HUDPanel> makeHUDPanel(QWidget* content) override;
    bool compositorRunning() override { return false; }
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
    QString desktopProblem() override { return desktopProblemText; }
    void notifyUser(const QString& summary) override { userNotifications.append(summary); }
    std::unique_ptr<Tray> makeTray() override;
    std::unique_ptr<SingleInstance> makeSingleInstance() override;
    void onTerminationRequest(std::function<void()> handler) override {
        terminationHandler = std::move(handler);
    }
    std::function<void()> terminationHandler;

    const std::shared_ptr<CallLog> log;
    // Scripted answers.
    bool trusted = true;
    bool tapsAvailable = true;
    SpeechAuthorizationStatus speechStatus = SpeechAuthorizationStatus::authorized;
    // What a request turns a not-determined status into.
    SpeechAuthorizationStatus speechGrant = SpeechAuthorizationStatus::authorized;
    MicrophoneAuthorizationStatus microphoneStatus = MicrophoneAuthorizationStatus::authorized;
    MicrophoneAuthorizationStatus microphoneGrant = MicrophoneAuthorizationStatus::authorized;
    QString supportDirectory = QStringLiteral("/nonexistent");
    QString desktopProblemText;
    bool trayAvailable = true;
    bool keyObservable = true;
    bool screen = true;
    bool pasteChordPossible = true;
    bool opensURLs = true;
    QStringList userNotifications;
    SingleInstance::Role instanceRole = SingleInstance::Role::primary;
    // What was made last.
    FakeEventTap* tap = nullptr;
    FakeAudioEngine* engine = nullptr;
    FakeHUDPanel* panel = nullptr;
    FakeSignalSource* signalSource = nullptr;
    FakeTray* tray = nullptr;
    FakeSingleInstance* instance = nullptr;
    std::shared_ptr<FakePasteboard> pasteboard;
    std::shared_ptr<FakeKeyboardEvents> keyboard;
    std::shared_ptr<FakeHTTPSession> http;
    const std::shared_ptr<FakeSpeechRecognizer> recognizer;
    const std::shared_ptr<NotificationCenter> notifications;
    const std::shared_ptr<FakeLoginItem> loginItem;
};
