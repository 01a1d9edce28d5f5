#include "mirvo/UpdateWindow.h"
#include "support/Subprocess.h"
#include "support/XvfbServer.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTextDocumentFragment>

namespace {

const UpdateInfo info{"0.1.0", "0.2.0", QUrl("https://releases.example.org/mirvo.deb"),
                      "2026-12-01"};

struct Window {
    Window()
        : controller(std::make_shared<UpdateWindowController>(
              info, [this] { ++downloads; },
              [this] {
                  ++dismissals;
                  goneBeforeDismissal = !controller->window();
              })) {}
    UpdateView* view() const { return controller->window()->findChild<UpdateView*>(); }
    std::shared_ptr<UpdateWindowController> controller;
    int downloads = 0;
    int dismissals = 0;
    bool goneBeforeDismissal = false;
};

} // namespace

class UpdateWindowTest : public QObject {
    Q_OBJECT

private slots:
    void windowShowsTheReleaseCentred() {
        Subprocess compositor;
        QVERIFY(compositor.start("xcompmgr", {"-n"}));
        Window w;
        w.controller->show();
        QWidget* window = w.controller->window();
        w.controller->show();
        QCOMPARE(w.controller->window(), window);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCOMPARE(window->windowTitle(), QStringLiteral("Mirvo"));
        QCOMPARE(window->size(), QSize(380, 340));
        QCOMPARE(window->geometry(), QRect(640 - 190, 400 - 170, 380, 340)); // on 1280 × 800
        QStringList texts;
        for (QLabel* label : window->findChildren<QLabel*>())
            texts.append(QTextDocumentFragment::fromHtml(label->text()).toPlainText());
        QCOMPARE(texts, (QStringList{"Mirvo 0.2.0 is available",
                                     "You're on 0.1.0. Download the latest version to get new "
                                     "features and fixes."}));
        for (QLabel* label : window->findChildren<QLabel*>())
            QVERIFY(label->height() >= label->heightForWidth(label->width()));

        QTest::qWait(300);
        QDir().mkpath(MIRVO_SCREENSHOT_DIR);
        const QImage shot = window->screen()->grabWindow(window->winId()).toImage();
        QVERIFY(shot.save(MIRVO_SCREENSHOT_DIR "/update-window.png"));
        QCOMPARE(shot.pixelColor(5, 5).rgb(), UpdateColors::bg.rgb());
        QPushButton* download = w.view()->downloadButton();
        const QPoint inButton = download->mapTo(window, QPoint(12, download->height() / 2));
        QCOMPARE(shot.pixelColor(inButton).rgb(), UpdateColors::coralDark.rgb());
        compositor.stop();
    }

    void eachWayOutCallsItsCallbackOnce() {
        // Download: the owner decides what becomes of the window.
        Window download;
        download.controller->show();
        download.view()->downloadButton()->click();
        QCOMPARE(download.downloads, 1);
        QCOMPARE(download.dismissals, 0);
        QVERIFY(download.controller->window());

        // Later: the window goes first, then the owner hears of it.
        Window later;
        later.controller->show();
        QPointer<QWidget> window = later.controller->window();
        later.view()->laterButton()->click();
        QCOMPARE(later.dismissals, 1);
        QCOMPARE(later.downloads, 0);
        QVERIFY(later.goneBeforeDismissal);
        QTRY_VERIFY(!window);

        // The close button only hides the window; nobody is told.
        Window closed;
        closed.controller->show();
        closed.controller->window()->close();
        QVERIFY(!closed.controller->window()->isVisible());
        QCOMPARE(closed.downloads + closed.dismissals, 0);
        closed.controller->show(); // the window exists: nothing happens
        QVERIFY(!closed.controller->window()->isVisible());

        // A button pressed after the controller is gone does nothing.
        Window orphan;
        orphan.controller->show();
        QPointer<UpdateView> view = orphan.view();
        view->setParent(nullptr);
        orphan.controller.reset();
        view->laterButton()->click();
        view->downloadButton()->click();
        QCOMPARE(orphan.downloads + orphan.dismissals, 0);
        delete view;
    }

    void manualChecksSayWhyThereIsNoUpdate() {
        QCOMPARE(manualCheckAlert({info, {}}), std::nullopt);
        QCOMPARE(manualCheckAlert({}), UpdateAlert({"You're up to date",
                                                    "Mirvo " + UpdateChecker::currentAppVersion() +
                                                        " is the latest version.",
                                                    false}));
        QCOMPARE(
            manualCheckAlert({std::nullopt, "The update server answered 503."}),
            UpdateAlert({"Couldn't check for updates", "The update server answered 503.", true}));
    }
};

MIRVO_X11_TEST_MAIN(UpdateWindowTest)
#include "UpdateWindowTest.moc"
