#pragma once

#include "CallLog.h"
#include "platform/AudioEngine.h"
#include "platform/GlobalShortcut.h"
#include "platform/HTTPSession.h"
#include "platform/HUDPanel.h"
#include "platform/KeyboardEvents.h"
#include "platform/LoginItem.h"
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

// An in-memory login item that records every call.
class FakeLoginItem final : public LoginItemControlling {
public:
    explicit FakeLoginItem(bool initiallyEnabled) : enabled(initiallyEnabled) {}
    bool isEnabled() const override { return enabled; }
    bool setEnabled(bool value) override {
        setEnabledCalls.append(value);
        enabled = value;
        return true;
    }

    bool enabled;
    QList<bool> setEnabledCalls;
};

// A key watcher the test drives: `changed` reports the hold key as the desktop would.
class FakeKeyWatcher final : public KeyWatcher {
public:
    explicit FakeKeyWatcher(HoldKeyChanged changed) : changed(std::move(changed)) {}
    const HoldKeyChanged changed;
};

class FakeKeyboardEvents final : public KeyboardEvents {
public:
    void postPasteChord() override {
        ++chords;
        if (onChord)
            onChord();
    }
    std::optional<QString> focusedApplication() override { return focused; }
    bool canPostPasteChord() override { return allowed; }
    void prepare() override { ++prepares; }
    int chords = 0;
    int prepares = 0;
    bool allowed = true;
    std::function<void()> onChord;
    std::optional<QString> focused = QString();
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

// An engine that starts, or fails as scripted.
class FakeAudioEngine final : public AudioEngine {
public:
    void installTap(uint32_t, TapBlock) override {}
    void removeTap() override {}
    void start() override {
        if (startError)
            std::rethrow_exception(startError);
        running = true;
    }
    void stop() override { running = false; }
    bool isRunning() const override { return running; }
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
    void fail(const MirvoError& error) { handler_(std::nullopt, error); }
    void tell(RecognitionStage stage) { request->stageHandler(stage); }
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
    std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     RecognitionHandler handler) override;
    std::shared_ptr<FakeRecognitionTask> task(size_t i);
    size_t taskCount();
    // The latest task of a dictation (the checklist's probes ask for no partial results).
    std::shared_ptr<FakeRecognitionTask> dictationTask();
    // Hands out this recognizer for "en-US" only.
    SpeechRecognizerProvider provider();

    bool available = true;
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
    void showWithoutFocus() override;
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
    void start(std::function<void(Signal)> handler) override { handler_ = std::move(handler); }
    void send(Signal signal) {
        if (handler_)
            handler_(signal);
    }

private:
    std::function<void(Signal)> handler_;
};

// Records what is shown in the tray.
class FakeTray final : public Tray {
public:
    void show(const QIcon&, const QString& text, QMenu*) override { toolTip = text; }
    bool isAvailable() const override { return true; }
    void showMessage(const QString& title, const QString& message) override {
        messages.append(title + ": " + message);
    }
    QString toolTip;
    QStringList messages;
};

// A desktop's shortcut that the test presses; it records what it was asked for.
class FakeGlobalShortcut final : public GlobalShortcut {
public:
    void bind(const QString& description, const QString& preferredKey) override {
        asked.append(description + " " + preferredKey);
    }
    QStringList asked;
};

// The platform as a test scripts it. The services it makes are recorded in the log (as
// "watchHoldKey Control_R", "makePasteboard", …) and kept reachable for the test.
class FakePlatform final : public PlatformServices {
public:
    explicit FakePlatform(std::shared_ptr<CallLog> log = std::make_shared<CallLog>());

    const DesktopCapabilities& capabilities() override {
        log->record("capabilities");
        return desktop;
    }
    std::unique_ptr<KeyWatcher> watchHoldKey(const QString& holdKey,
                                             HoldKeyChanged changed) override;
    QString defaultHoldKey() override { return QStringLiteral("Control_R"); }
    QString holdKeyDisplayName(const QString& key) override {
        return shortcutKeys.isEmpty() ? "the " + key + " key" : shortcutKeys;
    }
    QString holdKeyNamed(quint32 key) override { return key ? "key" + QString::number(key) : ""; }
    PlatformTexts texts() override {
        return {"Speech engine.", "Speech model.", "Model missing.", "Model broken."};
    }
    std::unique_ptr<GlobalShortcut> makeGlobalShortcut() override {
        return offersShortcut ? made("makeGlobalShortcut", ownedBy(shortcut)) : nullptr;
    }
    std::shared_ptr<KeyboardEvents> makeKeyboardEvents() override {
        return made("makeKeyboardEvents", keyboard = std::make_shared<FakeKeyboardEvents>());
    }
    std::shared_ptr<Pasteboard> makePasteboard() override {
        return made("makePasteboard", pasteboard = std::make_shared<FakePasteboard>());
    }
    std::unique_ptr<AudioEngine> makeAudioEngine() override {
        return made("makeAudioEngine", ownedBy(engine));
    }
    AudioFileOpener audioFileOpener() override;
    SpeechRecognizerProvider speechRecognizers(const RecognitionSettings& settings) override {
        log->record("speechRecognizers " + recognitionProfileName(settings.profile) +
                    (settings.spokenPunctuation ? "" : " without spoken punctuation"));
        return recognizer->provider();
    }
    std::unique_ptr<HUDPanel> makeHUDPanel(QWidget* content) override {
        return made("makeHUDPanel", ownedBy(panel, content));
    }
    std::shared_ptr<UserDefaults> makeUserDefaults() override {
        return std::make_shared<FakeUserDefaults>();
    }
    std::shared_ptr<HTTPSession> makeHTTPSession() override {
        return made("makeHTTPSession", http = std::make_shared<FakeHTTPSession>());
    }
    std::shared_ptr<SecretStore> makeSecretStore() override { return nullptr; }
    std::function<QStringList()> vocabulary() override {
        return [words = vocabularyEntries] { return words; };
    }
    QString vocabularyPath() override { return supportDirectory + "/vocabulary.txt"; }
    bool speechModelInstalled() override { return speechModel; }
    QCoro::Task<bool> microphoneAvailable() override;
    std::unique_ptr<SignalSource> makeSignalSource() override {
        return made("makeSignalSource", ownedBy(signalSource));
    }
    QString configDirectory() override { return supportDirectory; }
    QString stateDirectory() override { return supportDirectory + "/state"; }
    std::shared_ptr<LoginItemControlling> makeLoginItem() override { return loginItem; }
    bool openURL(const QUrl& url) override {
        log->record("openURL " + url.toString());
        return opensURLs;
    }
    QUrl helpPageURL() override { return QUrl(QStringLiteral("file:///help/help.html")); }
    QString desktopProblem() override { return QString(); }
    void notifyUser(const QString& summary) override { userNotifications.append(summary); }
    std::unique_ptr<Tray> makeTray() override { return ownedBy(tray); }
    // Not used by the delegate: Mirvo::run() claims the instance.
    std::unique_ptr<SingleInstance> makeSingleInstance() override { return nullptr; }
    void onTerminationRequest(std::function<void()>) override {}

    const std::shared_ptr<CallLog> log;
    // Scripted answers.
    QStringList vocabularyEntries;
    // An X11 desktop with nothing missing.
    DesktopCapabilities desktop{.keyInstructions = QStringLiteral("Needs %1.")};
    bool offersShortcut = false; // a desktop's shortcut, as Wayland desktops have
    QString shortcutKeys;        // what a desktop's shortcut got
    bool keyWatchable = true;
    bool speechModel = true;
    bool microphone = true;
    QString supportDirectory = QStringLiteral("/nonexistent");
    bool opensURLs = true;
    QStringList userNotifications;
    // What was made last.
    FakeKeyWatcher* keyWatcher = nullptr;
    FakeGlobalShortcut* shortcut = nullptr;
    FakeAudioEngine* engine = nullptr;
    FakeHUDPanel* panel = nullptr;
    FakeSignalSource* signalSource = nullptr;
    FakeTray* tray = nullptr;
    std::shared_ptr<FakePasteboard> pasteboard;
    std::shared_ptr<FakeKeyboardEvents> keyboard;
    std::shared_ptr<FakeHTTPSession> http;
    const std::shared_ptr<FakeSpeechRecognizer> recognizer;
    const std::shared_ptr<FakeLoginItem> loginItem;

private:
    template <typename T> T made(const char* call, T service) {
        log->record(QString::fromLatin1(call));
        return service;
    }
    // A new double that the test keeps a pointer to.
    template <typename T, typename... A> std::unique_ptr<T> ownedBy(T*& kept, A... arguments) {
        auto double_ = std::make_unique<T>(arguments...);
        kept = double_.get();
        return double_;
    }
};
