#include "doubles/FakePlatform.h"
#include "doubles/ScriptedOnboardingChecker.h"
#include "mirvo/MirvoApp.h"
#include "mirvo/OnboardingWindow.h"
#include "support/Await.h"
#include "support/LogCapture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QTest>

#include <thread>

namespace {

using Status = OnboardingStepStatus;
constexpr Status granted = Status::granted;
constexpr Status pending = Status::pending;

OnboardingState stateWith(std::initializer_list<OnboardingStep> grantedSteps) {
    OnboardingState state;
    for (OnboardingStep step : grantedSteps)
        state[step] = granted;
    return state;
}

const std::initializer_list<OnboardingStep> firstFive = {
    OnboardingStep::speechRecognition, OnboardingStep::microphone, OnboardingStep::dictationEnabled,
    OnboardingStep::accessibility, OnboardingStep::fnKeyRemap};

// A checklist over the fake platform, its recognizer failing every probe at once as a
// recognizer without audio does.
struct Checklist {
    explicit Checklist(OnboardingTiming timing = {0.05, 0.05}) {
        checker = std::make_shared<SystemOnboardingChecker>(platform, defaults, platform.loginItem,
                                                            answeringProvider(), 0.5);
        controller = std::make_shared<OnboardingWindowController>(
            std::make_shared<OnboardingDetector>(checker), checker, [this] { ++ready; },
            [this] { ++completed; }, timing);
    }
    // A refresh still evaluating keeps the controller, which asks the platform: wait for it.
    ~Checklist() {
        controller->close();
        const std::weak_ptr<OnboardingWindowController> weak = controller;
        controller.reset();
        awaitRelease(weak);
    }
    // Answers each probe with "no speech", from the recognizer's own thread.
    SpeechRecognizerProvider answeringProvider() {
        return [this](const QString&) -> std::shared_ptr<SpeechRecognizer> { return probeAnswers; };
    }
    class ProbeAnswers final : public SpeechRecognizer {
    public:
        bool isAvailable() const override { return true; }
        bool supportsOnDeviceRecognition() const override { return true; }
        std::shared_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest>,
                                                         RecognitionHandler handler) override {
            std::thread([handler, identity = dictationOff ? PlatformErrors::dictationDisabled
                                                          : PlatformErrors::noSpeechDetected] {
                handler(std::nullopt, PlatformError(identity, "probe"));
            }).detach();
            return nullptr;
        }
        std::atomic<bool> dictationOff{false};
    };
    void grantAll() {
        platform.loginItem->enabled = true;
        defaults->setValue(SystemOnboardingChecker::fnKeyConfirmedDefaultsKey, true);
        defaults->setValue(SystemOnboardingChecker::fnKeyDemoConfirmedDefaultsKey, true);
    }
    QPushButton* button(OnboardingStep step, const QString& text) const {
        QWidget* row = controller->window()->findChild<QWidget*>(rawValue(step));
        return row ? row->findChild<QPushButton*>(text) : nullptr;
    }
    OnboardingView* view() const { return controller->window()->findChild<OnboardingView*>(); }

    FakePlatform platform;
    std::shared_ptr<FakeUserDefaults> defaults = std::make_shared<FakeUserDefaults>();
    std::shared_ptr<ProbeAnswers> probeAnswers = std::make_shared<ProbeAnswers>();
    std::shared_ptr<SystemOnboardingChecker> checker;
    std::shared_ptr<OnboardingWindowController> controller;
    int ready = 0;
    int completed = 0;
};

bool buttonShown(QPushButton* button) {
    return button && button->isVisibleTo(button->window());
}

} // namespace

class OnboardingTest : public QObject {
    Q_OBJECT

private slots:
    void stepsStatusesAndStates() {
        for (OnboardingStep step : allOnboardingSteps) {
            QCOMPARE(onboardingStepNamed(rawValue(step)), std::optional(step));
            QVERIFY(!onboardingStepNamed(rawValue(step).toUpper()));
            QCOMPARE(isManual(step),
                     step == OnboardingStep::fnKeyRemap || step == OnboardingStep::fnKeyDemo);
            QCOMPARE(settingsURL(step, QUrl("file:///h.html")).has_value(),
                     step != OnboardingStep::fnKeyDemo);
        }
        QCOMPARE(settingsURL(OnboardingStep::fnKeyRemap, QUrl("file:///h.html"))->toString(),
                 QStringLiteral("file:///h.html#hold-key"));
        QCOMPARE(onboardingStepStatusNamed("granted"), std::optional(granted));
        QCOMPARE(onboardingStepStatusNamed("pending"), std::optional(pending));
        QVERIFY(!onboardingStepStatusNamed("Granted") && !onboardingStepStatusNamed(""));
        QVERIFY(!onboardingStepNamed("fnkeydemo"));

        // Subscripts write exactly one field.
        for (OnboardingStep step : allOnboardingSteps) {
            OnboardingState state;
            state[step] = granted;
            for (OnboardingStep other : allOnboardingSteps)
                QCOMPARE(state[other], other == step ? granted : pending);
        }
        const OnboardingState none;
        QVERIFY(!none.demoReady() && !none.allGranted());
        OnboardingState sixButLogin = stateWith(firstFive);
        sixButLogin.fnKeyDemo = granted;
        QVERIFY(sixButLogin.demoReady() && !sixButLogin.allGranted());
        OnboardingState all = sixButLogin;
        all.launchAtLogin = granted;
        QVERIFY(all.allGranted());
        all.speech = pending;
        QVERIFY(!all.demoReady() && !all.allGranted());
    }

    void textsNameTheHoldKeyAndNothingOfAnotherSystem() {
        const QList<std::pair<QString, QString>> names = {{"Control_R", "Right Ctrl"},
                                                          {"Control_L", "Left Ctrl"},
                                                          {"Alt_R", "Right Alt"},
                                                          {"Super_R", "Right Super"},
                                                          {"ISO_Level3_Shift", "AltGr"},
                                                          {"F13", "F13"},
                                                          {"Caps_Lock", "Caps Lock"},
                                                          {"Menu", "Menu"},
                                                          {"", "Right Ctrl"},
                                                          {"Page_Down", "Page Down"}};
        for (const auto& [keysym, shown] : names)
            QCOMPARE(holdKeyDisplayName(keysym), shown);

        const OnboardingTexts texts{"Right Alt", {}};
        QStringList all = {texts.header(), texts.demoPrompt(true), texts.demoPrompt(false)};
        for (OnboardingStep step : allOnboardingSteps)
            all += {texts.title(step), texts.description(step)};
        for (const QString& text : all) {
            for (const char* foreign : {"fn", "Mac", "Apple", "System Settings", "🌐", "globe"})
                QVERIFY2(!text.contains(QRegularExpression(
                             QStringLiteral("\\b%1\\b")
                                 .arg(QRegularExpression::escape(QString::fromUtf8(foreign))))),
                         qPrintable(text));
        }
        QVERIFY(texts.title(OnboardingStep::fnKeyDemo).contains("Right Alt"));
        QCOMPARE(texts.demoPrompt(false), QStringLiteral("Complete the steps above first."));
        QCOMPARE(OnboardingTexts({"K", "Wayland."}).description(OnboardingStep::accessibility),
                 QStringLiteral("Wayland."));
    }

    void evaluationAsksEachQuestionOnceInOrder() {
        auto scripted = std::make_shared<ScriptedOnboardingChecker>();
        scripted->grant({OnboardingStep::microphone, OnboardingStep::launchAtLogin});
        LogCapture logs;
        const auto outcome = await(OnboardingDetector(scripted).evaluate());
        QCOMPARE(*outcome.value,
                 stateWith({OnboardingStep::microphone, OnboardingStep::launchAtLogin}));
        QCOMPARE(scripted->record,
                 (QStringList{"begin speech", "end speech", "begin microphone", "end microphone",
                              "begin dictation", "end dictation", "accessibility", "fnKey",
                              "launchAtLogin", "fnKeyDemo"}));
        QCOMPARE(logs.lines(),
                 (QStringList{
                     "[Mirvo/Onboarding] evaluate() start", "[Mirvo/Onboarding] speech=false",
                     "[Mirvo/Onboarding] microphone=true", "[Mirvo/Onboarding] dictation=false",
                     "[Mirvo/Onboarding] accessibility=false", "[Mirvo/Onboarding] fnKey=false",
                     "[Mirvo/Onboarding] launchAtLogin=true", "[Mirvo/Onboarding] fnKeyDemo=false",
                     "[Mirvo/Onboarding] evaluate() end, allGranted=false"}));

        // The system checker's trust query says so between the dictation and accessibility lines.
        Checklist checklist;
        checklist.grantAll();
        logs.clear();
        const auto all = await(OnboardingDetector(checklist.checker).evaluate());
        QVERIFY(all.value->allGranted());
        const QStringList lines = logs.lines();
        QCOMPARE(lines.size(), 10);
        QCOMPARE(lines.mid(3, 3), (QStringList{"[Mirvo/Onboarding] dictation=true",
                                               "[Mirvo/TCC] AXIsProcessTrusted() -> true",
                                               "[Mirvo/Onboarding] accessibility=true"}));
        QCOMPARE(lines.last(),
                 QStringLiteral("[Mirvo/Onboarding] evaluate() end, allGranted=true"));
    }

    void systemCheckerAsksThePlatformOnlyWhenUndetermined() {
        using Speech = SpeechAuthorizationStatus;
        using Mic = MicrophoneAuthorizationStatus;
        const QList<std::tuple<Speech, Speech, bool, bool>> speechCases = {
            {Speech::authorized, Speech::authorized, false, true},
            {Speech::denied, Speech::authorized, false, false},
            {Speech::restricted, Speech::authorized, false, false},
            {Speech::notDetermined, Speech::authorized, true, true},
            {Speech::notDetermined, Speech::denied, true, false},
        };
        for (const auto& [status, grant, asks, result] : speechCases) {
            Checklist c;
            c.platform.speechStatus = status;
            c.platform.speechGrant = grant;
            QCOMPARE(*await(c.checker->requestSpeechAccess()).value, result);
            QCOMPARE(c.platform.log->count("requestSpeechAuthorization"), asks ? 1 : 0);
        }
        const QList<std::tuple<Mic, Mic, bool, bool>> micCases = {
            {Mic::authorized, Mic::authorized, false, true},
            {Mic::denied, Mic::authorized, false, false},
            {Mic::notDetermined, Mic::authorized, true, true},
            {Mic::notDetermined, Mic::denied, true, false},
        };
        for (const auto& [status, grant, asks, result] : micCases) {
            Checklist c;
            c.platform.microphoneStatus = status;
            c.platform.microphoneGrant = grant;
            QCOMPARE(*await(c.checker->microphoneAuthorized()).value, status == Mic::authorized);
            QCOMPARE(*await(c.checker->requestMicrophoneAccess()).value, result);
            QCOMPARE(c.platform.log->count("requestMicrophoneAccess"), asks ? 1 : 0);
        }

        Checklist c;
        QVERIFY(!c.checker->fnKeyManuallyConfirmed() && !c.checker->fnKeyDemoConfirmed());
        c.checker->setFnKeyManuallyConfirmed(true);
        QVERIFY(c.checker->fnKeyManuallyConfirmed() && !c.checker->fnKeyDemoConfirmed());
        QCOMPARE(c.defaults->values.value("ai.mirvo.fnKeyConfirmed"), QVariant(true));
        c.checker->setFnKeyDemoConfirmed(true);
        QCOMPARE(c.defaults->values.value("ai.mirvo.fnKeyDemoConfirmed"), QVariant(true));
        QVERIFY(!c.checker->launchAtLoginEnabled());
        QVERIFY(c.checker->setLaunchAtLogin(true));
        QVERIFY(c.checker->launchAtLoginEnabled());
        QCOMPARE(c.platform.loginItem->setEnabledCalls, QList<bool>{true});
        c.defaults->setValue("ai.mirvo.hotkey", "Super_R");
        QCOMPARE(c.checker->texts().holdKey, QStringLiteral("Right Super"));
    }

    void controllerShowsOneWindowAndPollsUntilClosed() {
        Checklist c;
        LogCapture logs;
        c.controller->show();
        QWidget* window = c.controller->window();
        c.controller->show();
        QCOMPARE(c.controller->window(), window);
        QCOMPARE(window->windowTitle(), QStringLiteral("Welcome to Mirvo"));
        QCOMPARE(logs.count("[Mirvo/Onboarding] refresh() called"), 2);
        QCOMPARE(logs.count("[Mirvo/Onboarding] startAutoRefresh — 1.2s poll + didBecomeActive"),
                 2);
        QCOMPARE(window->findChildren<OnboardingView*>().size(), 1);

        // One timer: ticks come at the poll rate, not twice as fast.
        logs.clear();
        QTest::qWait(520);
        const int ticks = logs.count("[Mirvo/Onboarding] pollTimer tick");
        QVERIFY2(ticks >= 4 && ticks <= 11, qPrintable(QString::number(ticks)));

        logs.clear();
        emit qApp->applicationStateChanged(Qt::ApplicationActive);
        QCOMPARE(logs.count("[Mirvo/Onboarding] didBecomeActive"), 1);

        // Closing with the close button hides the window and keeps everything running.
        QVERIFY(c.controller->isOnScreen());
        window->close();
        QTRY_VERIFY(!c.controller->isOnScreen());
        QVERIFY(c.controller->isVisible() && c.controller->isAutoRefreshing());
        c.controller->show();
        QCOMPARE(c.controller->window(), window);
        QVERIFY(c.controller->isOnScreen());

        c.controller->close();
        QVERIFY(!c.controller->isVisible() && !c.controller->isAutoRefreshing());
        QTest::qWait(150);
        logs.clear();
        emit qApp->applicationStateChanged(Qt::ApplicationActive);
        QTest::qWait(150);
        QVERIFY(logs.startingWith("[Mirvo/Onboarding] pollTimer tick").isEmpty());
        QVERIFY(!logs.contains("[Mirvo/Onboarding] didBecomeActive"));
    }

    void permissionsReadyFiresOncePerController() {
        Checklist c;
        LogCapture logs;
        c.controller->show(); // everything but the manual and optional steps
        QTRY_VERIFY(logs.contains(
            "[Mirvo/Onboarding] refresh() state → speech=granted dictation=granted ax=granted "
            "fn=pending all=false"));
        QCOMPARE(c.ready, 0);
        c.defaults->setValue(SystemOnboardingChecker::fnKeyConfirmedDefaultsKey, true);
        QTRY_VERIFY(c.controller->model().state().demoReady());
        QTest::qWait(300); // several more refreshes, a revoked and restored grant among them
        c.platform.trusted = false;
        QTRY_VERIFY(!c.controller->model().state().demoReady());
        c.platform.trusted = true;
        QTRY_VERIFY(c.controller->model().state().demoReady());
        QTest::qWait(100);
        QCOMPARE(c.ready, 1);
        QCOMPARE(logs.count("[Mirvo/Onboarding] permissionsReady → starting coordinator"), 1);
        QVERIFY(!c.view()->continueButton()->isEnabled());

        // A dictation probe that says Dictation is off keeps the step pending.
        c.probeAnswers->dictationOff = true;
        QTRY_COMPARE(c.controller->model().state().dictation, pending);
        c.controller->close();

        Checklist again;
        again.defaults->setValue(SystemOnboardingChecker::fnKeyConfirmedDefaultsKey, true);
        again.controller->show();
        QTRY_COMPARE(again.ready, 1);
    }

    void buttonsActOnTheirSteps() {
        Checklist c({10, 0.2});
        c.platform.speechStatus = SpeechAuthorizationStatus::notDetermined;
        c.controller->show();
        QTRY_VERIFY(!c.controller->model().isRefreshing());
        LogCapture logs;

        c.button(OnboardingStep::speechRecognition, "Allow")->click();
        QTRY_VERIFY(logs.contains("[Mirvo/Onboarding] requestSpeechAccess -> true"));
        QCOMPARE(logs.lines().mid(0, 3),
                 (QStringList{"[Mirvo/Onboarding] openSettings(speechRecognition)",
                              "[Mirvo/Onboarding] requestSpeechAccess -> true",
                              "[Mirvo/Onboarding] refresh() called"}));
        QTRY_COMPARE(c.controller->model().state().speech, granted);

        logs.clear();
        c.button(OnboardingStep::microphone, "Allow")->click();
        QTRY_VERIFY(logs.contains("[Mirvo/Onboarding] requestMicrophoneAccess -> true"));

        // Actions without a request of their own refresh 0.2 s later.
        const QList<std::tuple<OnboardingStep, QString, QString>> delayed = {
            {OnboardingStep::dictationEnabled, "Open Settings",
             "[Mirvo/Onboarding] opening URL file:///help/help.html#speech-model"},
            {OnboardingStep::fnKeyRemap, "Open Settings",
             "[Mirvo/Onboarding] opening URL file:///help/help.html#hold-key"},
            {OnboardingStep::accessibility, "Open Settings",
             "[Mirvo/TCC] AXIsProcessTrustedWithOptions(prompt=true) -> true"},
            {OnboardingStep::launchAtLogin, "Enable",
             "[Mirvo/Onboarding] setLaunchAtLogin(true) -> true"},
        };
        for (const auto& [step, label, line] : delayed) {
            logs.clear();
            QElapsedTimer clock;
            clock.start();
            c.button(step, label)->click();
            QCOMPARE(logs.lines().value(1), line);
            QVERIFY(!logs.contains("[Mirvo/Onboarding] refresh() called"));
            QTRY_VERIFY(logs.contains("[Mirvo/Onboarding] refresh() called"));
            QVERIFY2(clock.elapsed() >= 190, qPrintable(line));
        }
        QCOMPARE(c.platform.log->count("openURL file:///help/help.html#hold-key"), 1);
        QCOMPARE(c.platform.loginItem->setEnabledCalls, QList<bool>{true});
        QTRY_COMPARE(c.controller->model().state().launchAtLogin, granted);
        QVERIFY(!buttonShown(c.button(OnboardingStep::launchAtLogin, "Enable")));

        logs.clear();
        c.button(OnboardingStep::fnKeyRemap, "I've done this")->click();
        QCOMPARE(c.defaults->values.value("ai.mirvo.fnKeyConfirmed"), QVariant(true));
        QTRY_COMPARE(c.controller->model().state().fnKeyRemap, granted);
        QVERIFY(c.controller->model().state().demoReady());

        // Dictated text confirms the try-it step; then the final button ends the checklist.
        c.controller->setDemoText("hello");
        QCOMPARE(c.defaults->values.value("ai.mirvo.fnKeyDemoConfirmed"), QVariant(true));
        QTRY_VERIFY(c.view()->continueButton()->isEnabled());
        QTest::keyClick(c.controller->window(), Qt::Key_Return);
        QCOMPARE(c.completed, 1);
        QVERIFY(!c.controller->isVisible() && !c.controller->isAutoRefreshing());
    }

    // Nothing on Linux grants a step from a prompt: an open step's button shows how to fix it,
    // and the row says what the desktop lacks as of the last check.
    void openStepsShowHowToFixThem() {
        Checklist c({10, 0.05});
        c.platform.speechStatus = SpeechAuthorizationStatus::denied;
        c.platform.microphoneStatus = MicrophoneAuthorizationStatus::denied;
        c.platform.trusted = false;
        c.controller->show();
        QTRY_VERIFY(!c.controller->model().isRefreshing());
        const QList<std::tuple<OnboardingStep, QString, QString>> help = {
            {OnboardingStep::speechRecognition, "Allow", "speech-model"},
            {OnboardingStep::microphone, "Allow", "microphone"},
            {OnboardingStep::accessibility, "Open Settings", "x11"},
        };
        for (const auto& [step, label, section] : help) {
            c.button(step, label)->click();
            QTRY_COMPARE(c.platform.log->count("openURL file:///help/help.html#" + section), 1);
        }

        const auto description = [&] {
            QStringList texts;
            for (QLabel* l : c.controller->window()
                                 ->findChild<QWidget*>(rawValue(OnboardingStep::accessibility))
                                 ->findChildren<QLabel*>())
                texts.append(l->text());
            return texts;
        };
        QVERIFY(description().contains("No X11 display."));
        c.platform.trusted = true; // say, the missing extension was installed
        c.controller->show();      // brought forward: checks again
        QTRY_COMPARE(c.controller->model().state().accessibility, granted);
        QTRY_VERIFY(
            description().contains(OnboardingTexts{}.description(OnboardingStep::accessibility)));
        QVERIFY(!description().contains("No X11 display."));
    }

    void viewFollowsTheModel() {
        Checklist c;
        OnboardingViewModel& model = c.controller->model();
        int confirms = 0;
        OnboardingView view(model, OnboardingTexts{},
                            {[](OnboardingStep) {}, [] {}, [&] { ++confirms; }, [] {}, [] {}});
        view.show();
        const auto shown = [&](OnboardingStep step, const QString& label) {
            QWidget* row = view.findChild<QWidget*>(rawValue(step));
            return buttonShown(row->findChild<QPushButton*>(label));
        };
        const auto shownButtons = [&](OnboardingStep step) {
            QStringList labels;
            for (QPushButton* b :
                 view.findChild<QWidget*>(rawValue(step))->findChildren<QPushButton*>())
                if (buttonShown(b))
                    labels.append(b->text());
            return labels;
        };
        QLineEdit* box = view.demoRow()->textBox();
        const auto opacity = [&] {
            return static_cast<QGraphicsOpacityEffect*>(box->parentWidget()->graphicsEffect())
                ->opacity();
        };

        // All pending.
        QCOMPARE(shownButtons(OnboardingStep::speechRecognition), QStringList{"Allow"});
        QCOMPARE(shownButtons(OnboardingStep::dictationEnabled), QStringList{"Open Settings"});
        QCOMPARE(shownButtons(OnboardingStep::accessibility),
                 (QStringList{"Open Settings", "Restart Mirvo"}));
        QCOMPARE(shownButtons(OnboardingStep::fnKeyRemap),
                 (QStringList{"Open Settings", "I've done this"}));
        QCOMPARE(shownButtons(OnboardingStep::launchAtLogin), QStringList{"Enable"});
        QCOMPARE(shownButtons(OnboardingStep::fnKeyDemo), QStringList{"Mark as done"});
        QVERIFY(!box->isEnabled() && opacity() == 0.5);
        QCOMPARE(box->placeholderText(), QStringLiteral("Complete the steps above first."));
        QVERIFY(!view.continueButton()->isEnabled() && view.continueButton()->isDefault());

        // Dictation can work; the optional steps are still open.
        model.setState(stateWith(firstFive));
        QVERIFY(shownButtons(OnboardingStep::speechRecognition).isEmpty());
        QVERIFY(shown(OnboardingStep::launchAtLogin, "Enable"));
        QVERIFY(box->isEnabled() && opacity() == 1.0);
        QCOMPARE(box->placeholderText(),
                 QStringLiteral("Click here, hold Right Ctrl, speak, and release Right Ctrl"));
        QVERIFY(!view.continueButton()->isEnabled());

        // Only visible text confirms, once per change, typed or dictated.
        model.setDemoText(" \n\t ");
        QCOMPARE(confirms, 0);
        model.setDemoText("hi");
        QCOMPARE(box->text(), QStringLiteral("hi"));
        QCOMPARE(confirms, 1);
        model.setDemoText("hi");
        QCOMPARE(confirms, 1);
        QTest::keyClicks(box, "!");
        QCOMPARE(model.demoText(), QStringLiteral("hi!"));
        QCOMPARE(confirms, 2);

        OnboardingState done = stateWith(firstFive);
        done.fnKeyDemo = granted;
        model.setState(done);
        model.setDemoText("more");
        QCOMPARE(confirms, 2);
        QVERIFY(shownButtons(OnboardingStep::fnKeyDemo).isEmpty());
        QCOMPARE(box->text(), QStringLiteral("more"));
        done.launchAtLogin = granted;
        model.setState(done);
        QVERIFY(view.continueButton()->isEnabled());
    }

    void windowIsSizedAndCentred() {
        QCOMPARE(OnboardingWindowController::windowSize({500, 300}), QSize(540, 420));
        QCOMPARE(OnboardingWindowController::windowSize({600, 700}), QSize(600, 700));
        QCOMPARE(OnboardingWindowController::windowSize({541, 419}), QSize(541, 420));
        QCOMPARE(OnboardingWindowController::windowSize({540, 900}, {1280, 768}), QSize(540, 768));

        // The offscreen screen is shorter than the checklist: the window fits the screen and
        // scrolls, every step still within reach.
        Checklist c;
        c.controller->show();
        QWidget* window = c.controller->window();
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        QVERIFY(c.view()->fittingSize().height() > screen.height());
        QVERIFY(window->height() <= screen.height());
        QVERIFY(window->width() >= OnboardingView::width);
        // (The offscreen platform draws a small frame around the content.)
        QVERIFY(qAbs(window->geometry().center().x() - screen.center().x()) <= 4);
        QVERIFY(qAbs(window->geometry().center().y() - screen.center().y()) <= 4);
        auto* scroller = window->findChild<QScrollArea*>();
        scroller->ensureWidgetVisible(c.view()->continueButton());
        const QRect button(c.view()->continueButton()->mapTo(window, QPoint(0, 0)),
                           c.view()->continueButton()->size());
        QVERIFY(window->rect().contains(button));
    }

    void transcriptsGoToTheBoxOnlyWhileTheChecklistIsOnScreen() {
        FakePlatform platform;
        auto defaults = std::make_shared<FakeUserDefaults>();
        QProcessEnvironment environment;
        environment.insert("MIRVO_TEST_MODE", "1");
        auto delegate = std::make_shared<MirvoAppDelegate>(
            platform, LaunchOptions::fromEnvironment(environment), defaults);
        delegate->applicationDidFinishLaunching();
        DictationCoordinator& coordinator = *delegate->coordinator();
        QVERIFY(!coordinator.alternatePasteHandler);

        const auto dictate = [&](const QString& text) {
            platform.signalSource->send(SignalSource::Signal::keyDown);
            QTRY_VERIFY(coordinator.isRecording());
            platform.signalSource->send(SignalSource::Signal::keyUp);
            QTRY_VERIFY(!coordinator.isRecording());
            // The checklist's probes use the recognizer too: the dictation's task is the last
            // one that asked for partial results.
            std::shared_ptr<FakeRecognitionTask> task;
            for (size_t i = platform.recognizer->taskCount(); i-- > 0 && !task;)
                if (platform.recognizer->task(i)->request->shouldReportPartialResults)
                    task = platform.recognizer->task(i);
            task->deliver(text, {0.1}, true);
        };

        delegate->showOnboarding();
        QVERIFY(!delegate->onboarding()); // shown once the current event is handled
        QTRY_VERIFY(delegate->onboarding() && delegate->onboarding()->isOnScreen());
        QVERIFY(coordinator.alternatePasteHandler);
        dictate("into the box");
        QTRY_COMPARE(delegate->onboarding()->model().demoText(), QStringLiteral("into the box"));
        QVERIFY(platform.pasteboard->text().isEmpty());

        // Closed with its close button: text is pasted again, and goes back to the box when the
        // checklist is shown again.
        delegate->onboarding()->window()->close();
        QTRY_VERIFY(!coordinator.alternatePasteHandler);
        dictate("pasted");
        QTRY_COMPARE(platform.pasteboard->text(), QStringLiteral("pasted"));
        delegate->showOnboarding();
        QTRY_VERIFY(coordinator.alternatePasteHandler);

        // Finishing the checklist releases it, stores the flag and restores pasting.
        defaults->setValue(SystemOnboardingChecker::fnKeyConfirmedDefaultsKey, true);
        defaults->setValue(SystemOnboardingChecker::fnKeyDemoConfirmedDefaultsKey, true);
        platform.loginItem->enabled = true;
        OnboardingView* view = delegate->onboarding()->window()->findChild<OnboardingView*>();
        QTRY_VERIFY_WITH_TIMEOUT(view->continueButton()->isEnabled(), 8000);
        std::weak_ptr<OnboardingWindowController> controller =
            delegate->onboarding()->shared_from_this();
        view->continueButton()->click();
        QVERIFY(!delegate->onboarding());
        QVERIFY(!coordinator.alternatePasteHandler);
        QVERIFY(defaults->boolForKey("ai.mirvo.onboardingCompleted"));
        QTRY_VERIFY_WITH_TIMEOUT(controller.expired(), 5000); // its last probes end
    }
};

QTEST_MAIN(OnboardingTest)
#include "OnboardingTest.moc"
