// Mirvo's windows on a private X server: the HUD (its controller on a recording panel, then the
// real panel), the update window and the checklist, each checked for what the screen shows.
#include "app/DictationAssembly.h"
#include "app/MirvoApp.h"
#include "core/HUDWindowController.h"
#include "core/SettingKeys.h"
#include "doubles/FakePlatform.h"
#include "gui/MirvoIcon.h"
#include "gui/OnboardingView.h"
#include "gui/OnboardingWindow.h"
#include "gui/RecordingHUD.h"
#include "gui/SettingsWindow.h"
#include "gui/UpdateWindow.h"
#include "platform/linux/x11/QtHUDPanel.h"
#include "platform/linux/x11/X11Connection.h"
#include "support/LogCapture.h"
#include "support/Subprocess.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <X11/Xlib.h>

namespace {

// The HUD's controller on a panel that records what it is asked.
struct FakeHud {
    FakeHud()
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

// The HUD as Mirvo shows it.
struct RealHud {
    RealHud()
        : controller([this](HUDModel& model) {
              view = new RecordingHUD(model);
              auto panel = QtHUDPanel::create(view);
              real = static_cast<QtHUDPanel*>(panel.get());
              return panel;
          }) {}
    HUDWindowController controller;
    RecordingHUD* view = nullptr;
    QtHUDPanel* real = nullptr;
};

// Nothing of `window` is clipped: every text has the height its wrapped lines need, and no
// visible child reaches past the window.
void checkNothingClipped(QWidget* window) {
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (!label->isVisibleTo(window))
            continue;
        QVERIFY2(label->height() >= label->heightForWidth(label->width()),
                 qPrintable(label->text()));
        QVERIFY2(window->rect().contains(QRect(label->mapTo(window, QPoint()), label->size())),
                 qPrintable(label->text()));
    }
}

// What the X server shows of `window` (saved as `name`.png), and its colour at `child`'s `at`.
QColor colourAt(QWidget* window, QWidget* child, QPoint at, const QString& name) {
    const QImage shot = window->screen()->grabWindow(window->winId()).toImage();
    QDir().mkpath(MIRVO_SCREENSHOT_DIR);
    if (!shot.save(QStringLiteral(MIRVO_SCREENSHOT_DIR "/") + name + ".png"))
        qWarning("cannot save %s", qPrintable(name));
    return shot.pixelColor(child->mapTo(window, at));
}

struct UpdateWindowRig {
    UpdateWindowRig()
        : controller(std::make_shared<UpdateWindowController>(
              UpdateInfo{"0.1.0", "0.2.0", QUrl("https://releases.example.org/mirvo.deb"),
                         "2026-12-01"},
              [this] { ++downloads; },
              [this] {
                  ++dismissals;
                  goneBeforeDismissal = !controller->window();
              })) {
        controller->show();
    }
    UpdateView* view() const { return controller->window()->findChild<UpdateView*>(); }
    std::shared_ptr<UpdateWindowController> controller;
    int downloads = 0;
    int dismissals = 0;
    bool goneBeforeDismissal = false;
};

// The widget of `window` whose text (a line edit's placeholder) is `text`.
template <typename T> T* control(QWidget* window, const QString& text) {
    for (T* widget : window->findChildren<T*>()) {
        if constexpr (std::is_same_v<T, QLineEdit>) {
            if (widget->placeholderText() == text)
                return widget;
        } else if (widget->text() == text) {
            return widget;
        }
    }
    qFatal("no control \"%s\"", qPrintable(text));
}

// A running Mirvo (checklist done) on the fake platform, its Settings window open.
struct SettingsRig {
    SettingsRig() {
        platform.supportDirectory = folder.path();
        defaults->setValue("ai.mirvo.onboardingCompleted", true);
        delegate = std::make_shared<MirvoAppDelegate>(platform, LaunchOptions{}, defaults,
                                                      ShellTiming{3600, 3600, 60});
        delegate->applicationDidFinishLaunching();
        QTRY_VERIFY(delegate->coordinator());
        delegate->openSettings();
        window = delegate->settingsWindow();
        QVERIFY(QTest::qWaitForWindowExposed(window));
    }
    ~SettingsRig() {
        if (delegate->onboarding())
            delegate->onboarding()->close();
    }
    // A key pressed while the hold key is being chosen, as X names it (`keysym`).
    void chooseKey(int key, quint32 keysym, const QString& text = {}) {
        auto* button = control<QPushButton>(window, "Change Key…");
        QTest::keyClick(button, Qt::Key_Space);
        QKeyEvent press(QEvent::Type(6), key, Qt::NoModifier, 0, keysym, 0, text); // a key press
        QApplication::sendEvent(button, &press);
    }
    void type(const QString& placeholder, const QString& text) {
        auto* edit = control<QLineEdit>(window, placeholder);
        edit->setFocus();
        QTest::keyClicks(edit, text);
        QTest::keyClick(edit, Qt::Key_Return);
    }

    QTemporaryDir folder;
    FakePlatform platform;
    std::shared_ptr<FakeUserDefaults> defaults = std::make_shared<FakeUserDefaults>();
    std::shared_ptr<MirvoAppDelegate> delegate;
    SettingsWindow* window = nullptr;
    LogCapture logs;
};

} // namespace

class WindowTest : public QObject {
    Q_OBJECT

    X11Connection x11;

    Window focusedWindow() {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(x11.display(), &focus, &revert);
        return focus;
    }

private slots:
    void hudErrorHidesItselfUnlessAnotherShowComes() {
        FakeHud hud;
        hud.controller.model().setLevel(0.5);
        hud.controller.showError(QStringLiteral("Couldn't start dictation."), 0.15);
        QCOMPARE(hud.controller.model().mode(), HUDMode::error("Couldn't start dictation."));
        QCOMPARE(hud.controller.model().level(), 0.0);
        hud.panel->finishFade();
        QTRY_VERIFY(hud.panel->fadePending());
        hud.panel->finishFade();
        QVERIFY(!hud.panel->visible && !hud.controller.pendingAutoHideSeconds());
        QCOMPARE(hud.controller.model().mode().kind, HUDMode::Kind::error); // hide keeps it

        // A show before the automatic hide cancels it.
        hud.controller.showError(QStringLiteral("x"), 0.1);
        hud.controller.show();
        hud.panel->finishFade();
        hud.panel->calls.clear();
        QTest::qWait(250);
        QVERIFY(hud.panel->calls.isEmpty() && hud.panel->visible);

        // Without a screen nothing is shown, and that is said once.
        LogCapture logs;
        HUDWindowController nowhere([](HUDModel&) { return std::unique_ptr<HUDPanel>(); });
        nowhere.show();
        nowhere.showProcessing();
        QCOMPARE(logs.count("[Mirvo] HUD: no screen to show the panel on"), 1);
    }

    void thePanelShowsWithoutTakingFocus() {
        Subprocess other;
        QVERIFY(other.start("xmessage", {"-geometry", "+10+10", "other application"}));
        QTest::qWait(500);
        const Window before = focusedWindow();
        RealHud hud;
        hud.controller.show();
        QTRY_COMPARE(hud.real->alpha(), 1.0);
        XWindowAttributes attributes{};
        XGetWindowAttributes(x11.display(), hud.real->window()->winId(), &attributes);
        QVERIFY(attributes.override_redirect);
        QCOMPARE(focusedWindow(), before);
        QCOMPARE(QApplication::activeWindow(), nullptr);

        // Processing animates; hidden, nothing runs; a show during the fade-out survives it.
        hud.controller.showProcessing();
        QVERIFY(hud.view->isAnimating());
        hud.controller.hide();
        QTRY_VERIFY(!hud.real->isVisible());
        QVERIFY(!hud.view->isAnimating());
        hud.controller.show();
        QTRY_COMPARE(hud.real->alpha(), 1.0);
        hud.controller.hide();
        QTest::qWait(80);
        hud.controller.show();
        QTest::qWait(400);
        QVERIFY(hud.real->isVisible());
        QCOMPARE(hud.real->alpha(), 1.0);
        QCOMPARE(focusedWindow(), before);
    }

    // An error is words beside the icon, a long one cut short; the corners outside stay clear.
    void theHudDrawsAnError() {
        HUDModel model;
        RecordingHUD view(model);
        model.setMode(HUDMode::error(QString(40, 'x') + QString(" no microphone").repeated(20)));
        const QImage image = view.grab().toImage();
        int light = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                light += image.pixelColor(x, y).lightness() > 200 ? 1 : 0;
        QVERIFY(light > 10);
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
        // The icon's placeholder when its image is missing: dark, the corners clear.
        QImage canvas(44, 44, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        MirvoIcon::draw(painter, QRectF(0, 0, 44, 44), ":/no-such-icon.png");
        painter.end();
        QCOMPARE(canvas.pixelColor(0, 0).alpha(), 0);
        QCOMPARE(canvas.pixelColor(22, 22), QColor(11, 13, 18));
    }

    // Words heard widen the capsule, the newest of them in two lines under the meter; the panel
    // stays centred on its bottom edge. Saved as a screenshot.
    void theHudShowsTheWordsHeard() {
        HUDModel model;
        auto* view = new RecordingHUD(model);
        const std::unique_ptr<HUDPanel> panel = QtHUDPanel::create(view);
        auto* window = static_cast<QtHUDPanel*>(panel.get())->window();
        const QRect before = window->geometry();
        model.setHeard("please send the quarterly report to the finance team before noon "
                       "and say that the meeting has moved to Thursday afternoon");
        QCOMPARE(view->size(), QSize(320, 64));
        QCOMPARE(window->geometry().center().x(), before.center().x());
        QCOMPARE(window->geometry().bottom(), before.bottom());
        const QImage image = view->grab().toImage();
        image.save(QString(MIRVO_SCREENSHOT_DIR) + "/hud-words.png");
        int light = 0;
        for (int y = 36; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                light += image.pixelColor(x, y).lightness() > 200 ? 1 : 0;
        QVERIFY(light > 100);
        model.setMode(HUDMode::processing());
        QCOMPARE(view->size(), QSize(104, 32));
    }

    // Each control of the Settings window, used from the keyboard, changes what the running
    // Mirvo does, without a restart.
    void theSettingsWindowChangesMirvoAtOnce() {
        SettingsRig rig;
        SettingsWindow* w = rig.window;
        const QString services = rig.folder.path() + "/Mirvo/services.json";
        const auto press = [w](const QString& text) {
            QAbstractButton* button = control<QAbstractButton>(w, text);
            button->setFocus();
            QTest::keyClick(button, Qt::Key_Space);
        };
        const auto pick = [w](int which) {
            QComboBox* box = w->findChildren<QComboBox*>().at(which);
            box->setFocus();
            QTest::keyClick(box, Qt::Key_Down);
        };
        const auto history = [&] {
            return QFile::exists(DictationHistoryFile::defaultPath(rig.platform.stateDirectory()));
        };
        rig.delegate->history().add({"first words", QDateTime::currentDateTime(), {}, {}});
        struct Control {
            const char* name;
            std::function<void()> use;
            std::function<bool()> observed;
        };
        const QList<Control> controls = {
            {"a hold key that types nothing is watched at once",
             [&] { rig.chooseKey(Qt::Key_F9, 0xffc6); },
             [&] {
                 return rig.platform.log->calls().endsWith("watchHoldKey key65478") &&
                        rig.platform.tray->toolTip == "Mirvo — hold the key65478 key to dictate";
             }},
            {"a key that types text is refused", [&] { rig.chooseKey(Qt::Key_A, 0x61, "a"); },
             [&] {
                 return w->holdKeyStatus().startsWith("the key97 key types text") &&
                        holdKey(*rig.defaults, rig.platform) == "key65478";
             }},
            {"the accurate profile", [&] { pick(0); },
             [&] {
                 return recognitionSettings(*rig.defaults).profile == RecognitionProfile::accurate;
             }},
            {"media lowered", [&] { pick(1); },
             [&] {
                 return rig.defaults->stringForKey(SettingKeys::mediaWhileDictating) == "lower";
             }},
            {"spoken punctuation off",
             [&] { press("Write spoken punctuation (\"comma\", \"new line\")"); },
             [&] { return !recognitionSettings(*rig.defaults).spokenPunctuation; }},
            {"live words off", [&] { press("Show the words heard while I speak"); },
             [&] { return !rig.delegate->coordinator()->showsHeardWords(); }},
            {"history kept", [&] { press("Keep recent dictations after Mirvo quits"); }, history},
            {"history cleared", [&] { press("Clear"); },
             [&] { return rig.delegate->history().isEmpty() && !history(); }},
            {"launch at login", [&] { press("Launch at login"); },
             [&] { return rig.platform.loginItem->enabled; }},
            {"a speech service named",
             [&] {
                 press("A speech service");
                 rig.type("https://api.groq.com/openai/v1", "http://127.0.0.1:9/v1");
                 rig.type("whisper-large-v3-turbo", "tiny");
             },
             [&] {
                 const auto& service = rig.delegate->coordinator()->speechService;
                 return service && service->name == "tiny via 127.0.0.1" && service->on->load();
             }},
            {"its test sends the speech sample there", [&] { press("Test"); },
             [&] {
                 return w->serviceStatus().startsWith("failed after") &&
                        rig.platform.http->requests.last().url ==
                            QUrl("http://127.0.0.1:9/v1/audio/transcriptions");
             }},
            {"speech on this computer", [&] { press("On this computer"); },
             [&] {
                 return !rig.delegate->coordinator()->speechService->on->load() &&
                        QFile::exists(services);
             }},
            {"the vocabulary made and opened", [&] { press("Edit Vocabulary…"); },
             [&] {
                 QFile file(rig.platform.vocabularyPath());
                 return file.open(QIODevice::ReadOnly) &&
                        file.readAll() == SettingsWindow::vocabularyHeader.toUtf8() &&
                        rig.platform.log->calls().contains(
                            "openURL " + QUrl::fromLocalFile(file.fileName()).toString());
             }},
            {"Escape closes it", [&] { QTest::keyClick(w, Qt::Key_Escape); },
             [&] { return !w->isVisible(); }},
        };
        w->grab().save(QString(MIRVO_SCREENSHOT_DIR) + "/settings.png");
        for (const Control& c : controls) {
            c.use();
            QVERIFY2(QTest::qWaitFor(c.observed, 2000), c.name);
        }
    }

    void theUpdateWindowsButtonsAreSafeToPress() {
        // On screen: centred, nothing clipped, the download button in its colour.
        UpdateWindowRig shown;
        QWidget* window = shown.controller->window();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        checkNothingClipped(window);
        QPushButton* download = shown.view()->downloadButton();
        QTest::qWait(300);
        QCOMPARE(
            colourAt(window, download, QPoint(12, download->height() / 2), "update-window").rgb(),
            UpdateColors::coralDark.rgb());

        // Later: the window goes first, then the owner hears of it.
        UpdateWindowRig later;
        QPointer<QWidget> laterWindow = later.controller->window();
        later.view()->laterButton()->click();
        QCOMPARE(later.dismissals, 1);
        QVERIFY(later.goneBeforeDismissal);
        QTRY_VERIFY(!laterWindow);

        // A button pressed after the controller is gone does nothing.
        UpdateWindowRig orphan;
        QPointer<UpdateView> view = orphan.view();
        view->setParent(nullptr);
        orphan.controller.reset();
        view->laterButton()->click();
        view->downloadButton()->click();
        QCOMPARE(orphan.downloads + orphan.dismissals, 0);
        delete view;
    }

    void theChecklistInThreeStates() {
        FakePlatform platform;
        platform.recognizer->answersProbes = true;
        auto defaults = std::make_shared<FakeUserDefaults>();
        auto checker = std::make_shared<SystemOnboardingChecker>(
            platform, defaults, platform.loginItem, platform.recognizer->provider());
        auto controller = std::make_shared<OnboardingWindowController>(
            std::make_shared<OnboardingDetector>(checker), checker, [] {}, [] {},
            OnboardingTiming{0.1, 1});
        // Nothing granted; then the five that dictation needs; then everything.
        const auto grant = [&](int steps) {
            platform.speechModel = platform.microphone = platform.recognizer->available = steps > 0;
            platform.desktop.missing = steps ? QString() : QStringLiteral("No X11 display.");
            defaults->setValue(SystemOnboardingChecker::fnKeyConfirmedDefaultsKey, steps > 0);
            defaults->setValue(SystemOnboardingChecker::fnKeyDemoConfirmedDefaultsKey, steps == 7);
            platform.loginItem->enabled = steps == 7;
        };
        grant(0);
        controller->show();
        QWidget* window = controller->window();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        auto* view = window->findChild<OnboardingView*>();
        const QRect screen = window->screen()->geometry();
        QCOMPARE(window->size(), view->fittingSize());
        QVERIFY((window->geometry().center() - screen.center()).manhattanLength() <= 2);

        // Each state, and the buttons it shows, step by step in display order.
        const QStringList open = {"Allow",
                                  "Allow",
                                  "Open Settings",
                                  "Open Settings Restart Mirvo",
                                  "Open Settings I've done this",
                                  "Enable",
                                  "Mark as done"};
        const QStringList demoReady = {"", "", "", "", "", "Enable", "Mark as done"};
        const QList<std::tuple<QString, int, QStringList>> states = {
            {"1-all-pending", 0, open}, {"2-demo-ready", 5, demoReady}, {"3-all-granted", 7, {}}};
        std::map<QString, QColor> continueColour;
        for (const auto& [name, granted, buttons] : states) {
            grant(granted);
            QTRY_VERIFY(controller->model().state().allGranted() == (granted == 7) &&
                        controller->model().state().demoReady() == (granted >= 5));
            QTest::qWait(100); // relayout and repaint
            checkNothingClipped(window);
            // Badges line up in one column; a row's buttons sit on one line.
            QSet<int> badgeColumns;
            for (auto* badge : window->findChildren<OnboardingStatusBadge*>())
                badgeColumns.insert(badge->mapTo(window, QPoint(0, 0)).x());
            QCOMPARE(badgeColumns.size(), 1);
            QStringList shown;
            for (const OnboardingStepInfo& info : onboardingSteps) {
                const OnboardingStep step = info.step;
                QSet<int> lines;
                QStringList texts;
                for (auto* b :
                     window->findChild<QWidget*>(rawValue(step))->findChildren<QPushButton*>())
                    if (b->isVisibleTo(window)) {
                        lines.insert(b->mapTo(window, QPoint(0, b->height() / 2)).y());
                        texts.append(b->text());
                    }
                QVERIFY2(lines.size() <= 1, qPrintable(rawValue(step)));
                shown.append(texts.join(' '));
            }
            QCOMPARE(shown, buttons.isEmpty() ? QStringList(7) : buttons);
            // The try-it box takes text once dictation works; the default button once all is done.
            QCOMPARE(view->demoRow()->textBox()->isEnabled(), granted >= 5);
            QCOMPARE(view->continueButton()->isEnabled(), granted == 7);
            QPushButton* button = view->continueButton();
            continueColour[name] =
                colourAt(window, button, QPoint(5, button->height() / 2), "checklist-" + name);
        }
        // The default button looks disabled until everything is granted.
        QCOMPARE(continueColour["1-all-pending"], continueColour["2-demo-ready"]);
        QCOMPARE(continueColour["3-all-granted"], window->palette().color(QPalette::Highlight));
        controller->close();
        QTest::qWait(50);
    }
};

QTEST_MAIN(WindowTest)
#include "WindowTest.moc"
