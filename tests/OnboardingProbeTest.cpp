#include "core/Onboarding.h"
#include "doubles/FakePlatform.h"
#include "support/Await.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <thread>

// The dictation probe: answered from the recognizer's threads or its timeout, whichever comes
// first, exactly once (also run under ThreadSanitizer).
class OnboardingProbeTest : public QObject {
    Q_OBJECT

private slots:
    void dictationProbeTakesTheFirstVerdictOnce() {
        using Outcome = std::function<void(FakeRecognitionTask&)>;
        const auto fail = [](ErrorIdentity identity) -> Outcome {
            return [identity](FakeRecognitionTask& task) {
                std::thread([&task, identity] { task.fail(PlatformError(identity, "x")); }).join();
            };
        };
        // Error answers: only "Dictation is off" means off.
        const QList<std::tuple<const char*, Outcome, bool>> cases = {
            {"201", fail(PlatformErrors::dictationDisabled), false},
            {"201 in another domain", fail({"kAFAssistantErrorDomain", 201}), true},
            {"no speech", fail(PlatformErrors::noSpeechDetected), true},
            {"error twice",
             [](FakeRecognitionTask& task) {
                 task.fail(PlatformError(PlatformErrors::dictationDisabled, "x"));
                 task.fail(PlatformError(PlatformErrors::noSpeechDetected, "y"));
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
            QVERIFY(task->request->isAudioEnded() && task->request->requiresOnDeviceRecognition);
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
            PlatformError(PlatformErrors::dictationDisabled, "late"));
        QTest::qWait(20);

        // No recognizer, an unavailable one, or one that cannot start the task.
        QCOMPARE(await(SystemOnboardingChecker(platform, std::make_shared<FakeUserDefaults>(),
                                               platform.loginItem, nullptr)
                           .dictationEnabled())
                     .value,
                 std::optional(false));
        platform.recognizer->available = false;
        QCOMPARE(await(checker.dictationEnabled()).value, std::optional(false));
        platform.recognizer->available = true;
        platform.recognizer->nextTaskError =
            std::make_exception_ptr(PlatformError(PlatformErrors::dictationDisabled, "off"));
        QCOMPARE(await(checker.dictationEnabled()).value, std::optional(false));
    }
};

QTEST_GUILESS_MAIN(OnboardingProbeTest)
#include "OnboardingProbeTest.moc"
