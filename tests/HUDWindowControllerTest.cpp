#include "mirvo/HUDWindowController.h"
#include "doubles/FakePlatform.h"
#include "support/LogCapture.h"

#include <QTest>

namespace {

struct Hud {
    Hud()
        : controller([this](HUDModel&) {
              ++panelsMade;
              auto p = std::make_unique<FakeHUDPanel>();
              panel = p.get();
              return p;
          }) {}
    HUDWindowController controller;
    FakeHUDPanel* panel = nullptr;
    int panelsMade = 0;
};

} // namespace

class HUDWindowControllerTest : public QObject {
    Q_OBJECT

private slots:
    void fadesInEachModeAndResetsLevel() {
        Hud hud;
        hud.controller.hide(); // before any show: nothing, no panel
        QCOMPARE(hud.panelsMade, 0);

        hud.controller.model().setLevel(0.7);
        hud.controller.show();
        QCOMPARE(hud.panelsMade, 1);
        QCOMPARE(hud.controller.model().mode(), HUDMode::listening());
        QCOMPARE(hud.controller.model().level(), 0.0);
        QCOMPARE(hud.panel->calls,
                 (QStringList{"acceptMouse", "alpha=0", "orderFront", "fade to 1 over 0.15"}));
        hud.panel->finishFade();

        // Fully shown: processing changes only the mode.
        hud.panel->calls.clear();
        hud.controller.model().setLevel(0.9);
        hud.controller.showProcessing();
        QCOMPARE(hud.controller.model().mode(), HUDMode::processing());
        QCOMPARE(hud.controller.model().level(), 0.0);
        QVERIFY(hud.panel->calls.isEmpty());

        // Hidden: processing fades in over 0.1 s and leaves mouse handling as it was.
        hud.controller.hide();
        hud.panel->finishFade();
        QVERIFY(!hud.panel->visible);
        hud.panel->calls.clear();
        hud.controller.showProcessing();
        QCOMPARE(hud.panel->calls, (QStringList{"alpha=0", "orderFront", "fade to 1 over 0.1"}));

        // A show always restarts from alpha 0, even when already showing.
        hud.panel->finishFade();
        hud.panel->calls.clear();
        hud.controller.show();
        QCOMPARE(hud.panel->calls.mid(1, 2), (QStringList{"alpha=0", "orderFront"}));
        QCOMPARE(hud.panelsMade, 1);
    }

    void errorHidesItselfUnlessAnotherShowComes() {
        Hud hud;
        hud.controller.model().setLevel(0.5);
        hud.controller.showError(QStringLiteral("Couldn't start dictation."), 0.15);
        QCOMPARE(hud.controller.model().mode(), HUDMode::error("Couldn't start dictation."));
        QCOMPARE(hud.controller.model().level(), 0.0);
        QCOMPARE(hud.controller.pendingAutoHideSeconds(), std::optional<double>(0.15));
        hud.panel->finishFade();
        QTRY_VERIFY(hud.panel->fadePending());
        QCOMPARE(hud.panel->calls.back(), QStringLiteral("fade to 0 over 0.2"));
        hud.panel->finishFade();
        QVERIFY(!hud.panel->visible);
        QVERIFY(!hud.controller.pendingAutoHideSeconds());
        // hide() keeps the mode.
        QCOMPARE(hud.controller.model().mode().kind, HUDMode::Kind::error);

        // A show before the automatic hide cancels it.
        hud.controller.showError(QStringLiteral("x"), 0.1);
        hud.controller.show();
        hud.panel->finishFade();
        hud.panel->calls.clear();
        QTest::qWait(250);
        QVERIFY(hud.panel->calls.isEmpty());
        QVERIFY(hud.panel->visible);
        QCOMPARE(hud.controller.model().mode(), HUDMode::listening());

        // Two errors in a row: only the second's hide remains, counted from the second call.
        hud.controller.showError(QStringLiteral("one"), 0.1);
        QTest::qWait(60);
        hud.controller.showError(QStringLiteral("two"), 0.25);
        hud.panel->finishFade();
        hud.panel->calls.clear();
        QTest::qWait(120); // past the first error's deadline
        QVERIFY(hud.panel->calls.isEmpty());
        QTRY_COMPARE(hud.panel->calls, QStringList{"fade to 0 over 0.2"});
    }

    void showDuringFadeOutKeepsThePanel() {
        Hud hud;
        hud.controller.show();
        hud.panel->finishFade();
        hud.controller.hide();
        QVERIFY(hud.panel->fadePending());
        hud.controller.show(); // supersedes the fade-out, whose completion then runs
        hud.panel->finishFade();
        QVERIFY(hud.panel->visible);
        QVERIFY(!hud.panel->calls.contains("orderOut"));

        // A fade-out with no show after it orders the panel out.
        hud.controller.hide();
        hud.panel->finishFade();
        QVERIFY(!hud.panel->visible);
    }

    void withoutAScreenNothingIsShown() {
        LogCapture logs;
        HUDWindowController controller([](HUDModel&) { return std::unique_ptr<HUDPanel>(); });
        controller.show();
        controller.showProcessing();
        controller.hide();
        QCOMPARE(controller.model().mode(), HUDMode::processing());
        QCOMPARE(logs.count("[Mirvo] HUD: no screen to show the panel on"), 1);
    }
};

QTEST_GUILESS_MAIN(HUDWindowControllerTest)
#include "HUDWindowControllerTest.moc"
