#include "doubles/FakeUserDefaults.h"
#include "mirvo/MirvoApp.h"
#include "support/LogCapture.h"

#include <QApplication>
#include <QTest>

#include <unistd.h>

class AppLaunchTest : public QObject {
    Q_OBJECT

private slots:
    void testModeStartsTheCoordinatorAtOnce() {
        qputenv("MIRVO_TEST_MODE", "1");
        qputenv("MIRVO_TEST_AUDIO", "/nonexistent.wav");
        qputenv("MIRVO_POCKETSPHINX_MODEL", "/nonexistent"); // no model load in this test
        auto defaults = std::make_shared<FakeUserDefaults>();
        defaults->setValue("ai.mirvo.onboardingCompleted", true);
        LogCapture logs;
        MirvoAppDelegate delegate(defaults);
        delegate.applicationDidFinishLaunching();
        const QStringList lines = logs.lines();
        const qsizetype launched = lines.indexOf(
            QStringLiteral("[Mirvo] launched (pid=%1, test=true, seen=true, force=false)")
                .arg(getpid()));
        QVERIFY(launched >= 0);
        const qsizetype entered = lines.indexOf("[Mirvo] startCoordinator() entered");
        const qsizetype up = lines.indexOf("[Mirvo] coordinator up (test mode)");
        QVERIFY(launched < entered && entered < up);
        QVERIFY(lines.contains("[Mirvo] hotkey.start() OK (SignalHotkeyMonitor)"));
        for (const QString& line : lines)
            QVERIFY2(!line.contains("permission") && !line.contains("AXIsProcessTrusted") &&
                         !line.startsWith("[Mirvo/Config]"),
                     qPrintable(line)); // test mode reads no configuration
        QVERIFY(delegate.coordinator());

        // "MIRVO_TEST_MODE" other than "1" is normal mode.
        logs.clear();
        qputenv("MIRVO_TEST_MODE", "true");
        qputenv("XDG_CONFIG_HOME", "/nonexistent-config");
        MirvoAppDelegate normal(std::make_shared<FakeUserDefaults>());
        normal.applicationDidFinishLaunching();
        QVERIFY(logs.lines().contains(
            QStringLiteral("[Mirvo] launched (pid=%1, test=false, seen=false, force=false)")
                .arg(getpid())));
        QVERIFY(
            logs.lines().contains("[Mirvo/Config] no config at "
                                  "/nonexistent-config/Mirvo/config.json — running fully local"));
        QVERIFY(logs.lines().contains("[Mirvo] coordinator up"));
    }
};

QTEST_MAIN(AppLaunchTest)
#include "AppLaunchTest.moc"
