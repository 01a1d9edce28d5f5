// The setup checklist on the fake platform: the state it derives, the questions it asks, its
// window controller, its buttons and the view that follows its model.
#include "doubles/FakePlatform.h"
#include "gui/OnboardingView.h"
#include "gui/OnboardingWindow.h"
#include "support/Await.h"
#include "support/LogCapture.h"
#include "support/Utilities.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QTest>

#include <thread>

namespace {

using S = OnboardingStep;
constexpr OnboardingStepStatus granted = OnboardingStepStatus::granted;

// A checklist over the fake platform, its recognizer answering every probe with "no speech" as
// a recognizer without audio does.
struct Checklist {
    explicit Checklist(OnboardingTiming timing = {0.05, 0.05}) {
        platform.recognizer->answersProbes = true;
        checker = std::make_shared<SystemOnboardingChecker>(platform, defaults, platform.loginItem,
                                                            platform.recognizer->provider(), 0.5);
        controller = std::make_shared<OnboardingWindowController>(
            std::make_shared<OnboardingDetector>(checker), checker, [] {}, [] {}, timing);
    }
    // A refresh still evaluating keeps the controller, which asks the platform: wait for it.
    ~Checklist() {
        controller->close();
        const std::weak_ptr<OnboardingWindowController> weak = controller;
        controller.reset();
        awaitRelease(weak);
    }
    QPushButton* button(OnboardingStep step, const QString& text) const {
        QWidget* row = controller->window()->findChild<QWidget*>(rawValue(step));
        return row ? row->findChild<QPushButton*>(text) : nullptr;
    }
    OnboardingView* view() const { return controller->window()->findChild<OnboardingView*>(); }

    FakePlatform platform;
    std::shared_ptr<FakeUserDefaults> defaults = std::make_shared<FakeUserDefaults>();
    std::shared_ptr<SystemOnboardingChecker> checker;
    std::shared_ptr<OnboardingWindowController> controller;
};

bool buttonShown(QPushButton* button) {
    return button && button->isVisibleTo(button->window());
}

} // namespace

Q_DECLARE_METATYPE(OnboardingStep)

class OnboardingTest : public QObject {
    Q_OBJECT

private slots:
    void controllerShowsOneWindowAndChecksUntilClosed() {
        Checklist c;
        c.controller->show();
        QWidget* window = c.controller->window();
        c.controller->show();
        QCOMPARE(c.controller->window(), window);

        // The close button hides the window and keeps it checking; close() ends both.
        window->close();
        QTRY_VERIFY(!c.controller->isOnScreen());
        QVERIFY(c.controller->isVisible() && c.controller->isAutoRefreshing());
        c.controller->close();
        QVERIFY(!c.controller->isVisible() && !c.controller->isAutoRefreshing());

        // A screen shorter than the checklist: the window fits it and scrolls, every step still
        // within reach.
        Checklist tall;
        tall.controller->show();
        window = tall.controller->window();
        QVERIFY(tall.view()->fittingSize().height() > window->screen()->geometry().height());
        QVERIFY(window->height() <= window->screen()->geometry().height());
        window->findChild<QScrollArea*>()->ensureWidgetVisible(tall.view()->continueButton());
        QVERIFY(
            window->rect().contains(QRect(tall.view()->continueButton()->mapTo(window, QPoint()),
                                          tall.view()->continueButton()->size())));
    }

    // What each button does, with the platform answering as given; an open step's button shows
    // the help section that says how to fix it, since nothing on Linux grants it from a prompt.
    void buttonsActOnTheirSteps_data() {
        QTest::addColumn<OnboardingStep>("step");
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("deny");
        QTest::addColumn<QString>("call"); // what the platform is asked
        addRow("speech, no model", S::speechRecognition, "Allow", true,
               "openURL file:///help/help.html#speech-model");
        addRow("model", S::dictationEnabled, "Open Settings", false,
               "openURL file:///help/help.html#speech-model");
        addRow("keys", S::accessibility, "Open Settings", true,
               "openURL file:///help/help.html#x11");
        addRow("launch at login", S::launchAtLogin, "Enable", false, QString());
    }

    void buttonsActOnTheirSteps() {
        QFETCH(OnboardingStep, step);
        QFETCH(QString, label);
        QFETCH(bool, deny);
        QFETCH(QString, call);
        Checklist c({10, 0.2});
        c.platform.speechModel = !deny;
        c.platform.microphone = false;
        if (deny)
            c.platform.desktop.missing = "No X11 display.";
        c.controller->show();
        QTRY_VERIFY(!c.controller->model().isRefreshing());
        LogCapture logs;
        c.button(step, label)->click();
        if (!call.isEmpty())
            QTRY_VERIFY(c.platform.log->calls().contains(call));
        // Then the step is asked again, at once after a request, 0.2 s later otherwise.
        QTRY_VERIFY(logs.contains("[Mirvo/Onboarding] refresh() called"));
        if (step == S::launchAtLogin) {
            QCOMPARE(c.platform.loginItem->setEnabledCalls, QList<bool>{true});
            QTRY_COMPARE(c.controller->model().state().launchAtLogin, granted);
            QVERIFY(!buttonShown(c.button(step, label)));
        }
    }

    // The try-it text is told once per change, typed or dictated.
    void theTryItTextIsToldOncePerChange() {
        OnboardingViewModel model;
        QSignalSpy told(&model, &OnboardingViewModel::demoTextChanged);
        model.setDemoText("hi");
        model.setDemoText("hi");
        QCOMPARE(told.size(), 1);
    }

    // The dictation probe: answered from the recognizer's threads or its timeout, whichever
    // comes first, exactly once.
    void dictationProbeTakesTheFirstVerdictOnce() {
        using Outcome = std::function<void(FakeRecognitionTask&)>;
        const auto fail = [](MirvoError::Kind identity) -> Outcome {
            return [identity](FakeRecognitionTask& task) {
                std::thread([&task, identity] { task.fail(MirvoError(identity, "x")); }).join();
            };
        };
        // Error answers: only "Dictation is off" means off.
        const QList<std::tuple<const char*, Outcome, bool>> cases = {
            {"201", fail(MirvoError::Kind::speechModelUnusable), false},
            {"no speech", fail(MirvoError::Kind::noSpeech), true},
            {"error twice",
             [](FakeRecognitionTask& task) {
                 task.fail(MirvoError(MirvoError::Kind::speechModelUnusable, "x"));
                 task.fail(MirvoError(MirvoError::Kind::noSpeech, "y"));
             },
             false},
        };
        for (const auto& [name, outcome, expected] : cases) {
            FakePlatform platform;
            SystemOnboardingChecker checker(platform, std::make_shared<FakeUserDefaults>(),
                                            platform.loginItem, platform.recognizer->provider(),
                                            5.0);
            QElapsedTimer clock;
            clock.start();
            auto probe = checker.dictationEnabled();
            QTRY_COMPARE(platform.recognizer->taskCount(), size_t(1));
            auto task = platform.recognizer->task(0);
            QVERIFY(task->request->isAudioEnded());
            QVERIFY(task->received().empty());
            outcome(*task);
            const auto verdict = await(std::move(probe), 2000);
            QVERIFY2(verdict.value == expected, name);
            QVERIFY2(clock.elapsed() < 2000, name);
            QVERIFY2(!task->cancelled, name);
        }

        // A partial result is no verdict: the timeout decides, cancels the task, and a late
        // error changes nothing.
        FakePlatform platform;
        SystemOnboardingChecker checker(platform, std::make_shared<FakeUserDefaults>(),
                                        platform.loginItem, platform.recognizer->provider(), 0.3);
        QElapsedTimer clock;
        clock.start();
        auto probe = checker.dictationEnabled();
        QTRY_COMPARE(platform.recognizer->taskCount(), size_t(1));
        platform.recognizer->task(0)->deliver("uh", {0.0}, false);
        const auto verdict = await(std::move(probe), 3000);
        QCOMPARE(verdict.value, std::optional(true));
        QVERIFY(clock.elapsed() >= 290);
        QVERIFY(platform.recognizer->task(0)->cancelled);
        platform.recognizer->task(0)->fail(
            MirvoError(MirvoError::Kind::speechModelUnusable, "late"));
        QTest::qWait(20);
    }
};

QTEST_MAIN(OnboardingTest)
#include "OnboardingTest.moc"
