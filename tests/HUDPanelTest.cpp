#include "mirvo/HUDWindowController.h"
#include "mirvo/MirvoIcon.h"
#include "mirvo/RecordingHUD.h"
#include "platform/linux/QtHUDPanel.h"
#include "platform/linux/X11Connection.h"
#include "support/Subprocess.h"
#include "support/XvfbServer.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QScreen>
#include <QTest>

#include <X11/Xlib.h>

namespace {

struct Hud {
    Hud()
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

Window focusedWindow(Display* display) {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    return focus;
}

bool isOverrideRedirect(Display* display, WId window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(display, Window(window), &attributes);
    return attributes.override_redirect;
}

int countPixels(const QImage& image, const std::function<bool(QColor)>& matches) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += matches(image.pixelColor(x, y)) ? 1 : 0;
    return n;
}

bool isRed(QColor c) {
    return c.red() > 150 && c.green() < 90 && c.blue() < 90;
}

// Red over the dark capsule, at any of the dots' opacities (0.4 at the faintest).
bool isReddish(QColor c) {
    return c.red() > 80 && c.red() > c.green() + 40 && c.red() > c.blue() + 40;
}

} // namespace

class HUDPanelTest : public QObject {
    Q_OBJECT

    X11Connection x11;

private slots:
    void barsAndDotsFollowTheirFormulas() {
        using H = std::array<double, 5>;
        QVERIFY(Waveform::barHeights(0) == (H{5, 5, 5, 5, 5}));
        QVERIFY(Waveform::barHeights(-0.3) == (H{5, 5, 5, 5, 5}));
        QVERIFY(Waveform::barHeights(0.5) == (H{7.625, 10.25, 12.5, 10.25, 7.625}));
        QVERIFY(Waveform::barHeights(1) == (H{10.25, 15.5, 20, 15.5, 10.25}));
        QVERIFY(Waveform::barHeights(3) == (H{10.25, 15.5, 20, 15.5, 10.25}));

        auto near = [](double a, double b) { return std::abs(a - b) < 1e-9; };
        for (double t : {0.0, 1.1, 2.2, 110.0}) { // p is whole for dot 0
            QVERIFY(near(PulseDots::dot(t, 0).scale, 0.75));
            QVERIFY(near(PulseDots::dot(t, 0).opacity, 0.4));
        }
        QVERIFY(near(PulseDots::dot(0.55, 0).scale, 1.3)); // f = 0.5
        QVERIFY(near(PulseDots::dot(0.55, 0).opacity, 1.0));
        QVERIFY(near(PulseDots::dot(0.55 - 0.18 * 1.1, 1).scale, 1.3)); // dot 1 runs ahead
        QVERIFY(near(PulseDots::dot(0, 1).opacity, 0.4 + 0.6 * 0.36));
        QVERIFY(std::abs(PulseDots::frameTime() -
                         (QDateTime::currentSecsSinceEpoch() - 978307200.0)) < 2);
    }

    void panelSitsAboveTheBottomOfThePrimaryScreen() {
        QCOMPARE(QtHUDPanel::frameOn(QRect(0, 0, 1280, 800)), QRect(588, 668, 104, 32));
        QCOMPARE(QtHUDPanel::frameOn(QRect(1920, 0, 1000, 600)), QRect(2368, 468, 104, 32));
        Hud hud;
        hud.controller.show();
        QCOMPARE(hud.real->window()->geometry(),
                 QtHUDPanel::frameOn(QGuiApplication::primaryScreen()->geometry()));
        QTRY_VERIFY(hud.real->window()->windowHandle()->isExposed());
        QVERIFY(isOverrideRedirect(x11.display(), hud.real->window()->winId()));
    }

    void fadesInAndOutWithoutTakingFocus() {
        Subprocess field;
        QVERIFY(field.start("xmessage", {"-geometry", "+10+10", "other application"}));
        QTest::qWait(500);
        const Window before = focusedWindow(x11.display());

        Hud hud;
        hud.controller.show();
        QTRY_COMPARE(hud.real->alpha(), 1.0);
        QVERIFY(hud.real->isVisible());
        QCOMPARE(focusedWindow(x11.display()), before);
        QCOMPARE(QApplication::activeWindow(), nullptr);

        // Fully shown: processing does not fade again.
        hud.controller.showProcessing();
        QCOMPARE(hud.real->alpha(), 1.0);
        QVERIFY(hud.view->isAnimating());

        hud.controller.hide();
        QTRY_VERIFY(!hud.real->isVisible());
        QVERIFY(!hud.view->isAnimating()); // no timer while hidden

        // A show during the fade-out survives the fade-out's end.
        hud.controller.show();
        QTRY_COMPARE(hud.real->alpha(), 1.0);
        hud.controller.hide();
        QTest::qWait(80);
        hud.controller.show();
        QTest::qWait(400);
        QVERIFY(hud.real->isVisible());
        QCOMPARE(hud.real->alpha(), 1.0);
        QVERIFY(!hud.view->isAnimating()); // listening: nothing moves
        QCOMPARE(focusedWindow(x11.display()), before);
    }

    void rendersEachMode() {
        HUDModel model;
        RecordingHUD view(model);
        model.setLevel(1);
        QTest::qWait(200); // the meter's 0.08 s ease
        const QImage loud = view.grab().toImage();
        model.setLevel(0);
        QTest::qWait(200);
        const QImage quiet = view.grab().toImage();
        QVERIFY(isRed(loud.pixelColor(52, 16)));
        QVERIFY(isRed(loud.pixelColor(52, 8)));   // the middle bar reaches 20 high
        QVERIFY(!isRed(quiet.pixelColor(52, 8))); // at silence it is 5 high
        QVERIFY(countPixels(loud, isRed) > 2 * countPixels(quiet, isRed));

        model.setMode(HUDMode::processing());
        const QImage dots = view.grab().toImage();
        QVERIFY(countPixels(dots, isReddish) > 20);
        QVERIFY(!isReddish(dots.pixelColor(52, 4)));

        model.setMode(HUDMode::error("No microphone found. Connect one in System Settings."));
        const QImage error = view.grab().toImage();
        QVERIFY(countPixels(error, [](QColor c) { return c.lightness() > 200; }) > 10); // text
        QVERIFY(countPixels(error, isRed) > 5); // the icon at 60 %

        // The border: white at 12 % on the capsule's edge; the corners outside are clear.
        QCOMPARE(error.pixelColor(0, 0).alpha(), 0);
    }

    void errorTextWrapsToTwoLines() {
        const QFontMetricsF metrics(QFont("DejaVu Sans", 12));
        const double width = metrics.horizontalAdvance("No microphone found.");
        struct Case {
            QString text;
            QStringList lines;
        };
        const QList<Case> cases = {
            {"", {}},
            {"No microphone found.", {"No microphone found."}},
            {"No microphone found. Connect one.", {"No microphone found.", "Connect one."}},
            // A word longer than a line is broken inside.
            {"Supercalifragilisticexpialidocious", {}},
            {"a b", {"a b"}},
        };
        for (const Case& c : cases) {
            const QStringList lines = wrapTwoLines(c.text, metrics, width);
            if (c.text.startsWith("Super")) {
                QCOMPARE(lines.size(), 2);
                QVERIFY(metrics.horizontalAdvance(lines[0]) <= width);
                QVERIFY(c.text.startsWith(lines[0]) && !lines[0].isEmpty());
                continue;
            }
            QCOMPARE(lines, c.lines);
        }
        // What does not fit the second line ends in an ellipsis, within the width.
        const QStringList cut = wrapTwoLines(
            "No microphone found. Connect one in System Settings → Sound → Input.", metrics, width);
        QCOMPARE(cut.size(), 2);
        QCOMPARE(cut[0], QStringLiteral("No microphone found."));
        QVERIFY(cut[1].endsWith(QChar(0x2026)));
        QVERIFY(metrics.horizontalAdvance(cut[1]) <= width);
    }

    void iconOrPlaceholder() {
        QImage canvas(44, 44, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        MirvoIcon::draw(painter, QRectF(0, 0, 44, 44), ":/no-such-icon.png");
        painter.end();
        QCOMPARE(canvas.pixelColor(22, 22), QColor(11, 13, 18));
        QCOMPARE(canvas.pixelColor(0, 0).alpha(), 0); // rounded corner

        canvas.fill(Qt::transparent);
        painter.begin(&canvas);
        MirvoIcon::draw(painter, QRectF(0, 0, 44, 44));
        painter.end();
        QVERIFY(isRed(canvas.pixelColor(22, 22))); // the shipped icon's middle bar
    }

    void screenshotsWithACompositor() {
        Subprocess compositor;
        QVERIFY(compositor.start("xcompmgr", {"-n"}));
        QTRY_VERIFY_WITH_TIMEOUT(QtHUDPanel::compositorRunning(x11.display()), 5000);
        const QString dir = QStringLiteral(MIRVO_SCREENSHOT_DIR);
        QDir().mkpath(dir);
        Hud hud;
        const QRect frame = QtHUDPanel::frameOn(QGuiApplication::primaryScreen()->geometry());
        const QRect area = frame.adjusted(-20, -20, 20, 20);
        const QList<std::pair<QString, std::function<void()>>> modes = {
            {"listening",
             [&] {
                 hud.controller.show();
                 hud.controller.model().setLevel(0.6);
             }},
            {"processing", [&] { hud.controller.showProcessing(); }},
            {"error", [&] { hud.controller.showError("No microphone found.", 10); }},
        };
        for (const auto& [name, show] : modes) {
            show();
            hud.view->setTranslucent(QtHUDPanel::compositorRunning(x11.display()));
            QTest::qWait(400);
            const QString path = dir + "/" + name + ".png";
            QFile::remove(path);
            Subprocess import;
            import.start("import", {"-window", "root", "-crop",
                                    QStringLiteral("%1x%2+%3+%4")
                                        .arg(area.width())
                                        .arg(area.height())
                                        .arg(area.left())
                                        .arg(area.top()),
                                    "+repage", path});
            QTRY_VERIFY_WITH_TIMEOUT(!import.isRunning(), 10000);
            const QImage shot(path);
            QCOMPARE(shot.size(), area.size());
            QVERIFY(countPixels(shot, isRed) > 5);
        }
        compositor.stop();
    }
};

MIRVO_X11_TEST_MAIN(HUDPanelTest)
#include "HUDPanelTest.moc"
