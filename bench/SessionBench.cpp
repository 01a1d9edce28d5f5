// The application shell's figures, on a private X server with a tray and a sound server:
//   launch_to_tray_ms             start of a normal launch (checklist done before) to its icon
//                                 in the tray (p50 of 5)
//   launch_to_coordinator_up_ms   the same launch to "coordinator up" (p50 of 5)
//   second_launch_forward_ms      a second launch handing its command over and ending (p50 of 5)
//   idle_rss_mb                   resident memory, tray up and checklist closed, after 5 s idle
//   clipboard_restored_percent    of 50 dictations back to back, each over contents another
//                                 program owns (text, HTML, an image, binary data), those after
//                                 which every type reads back byte for byte
//   history_paste_last_ms_p50     after them, from running `mirvo --paste-last` to the text in
//                                 the field (p50 of 5)
//   history_menu_open_ms          after them (20 recent dictations), from the click on the tray
//                                 icon to its menu on screen (p50 of 5)
//   first_decoder_ready_ms        a fresh test-mode Mirvo, from its start to its first speech
//                                 decoder ready (p50 of 3)
//   first_dictation_release_to_text_ms
//                                 a fresh test-mode Mirvo pressed the moment it is up, a 2-s
//                                 sentence held for its length, from release to the text (p50 of 3)
//   vocabulary_save_dictation_wait_ms
//                                 a dictation started 50 ms after vocabulary.txt changed, from
//                                 release to the text (p50 of 3)
#include "Figures.h"
#include "XvfbServer.h"
#include "support/MirvoProcess.h"
#include "support/SpokenText.h"
#include "support/TestDesktop.h"

#include <QApplication>
#include <QBuffer>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QTest>

#include <X11/Xlib.h>

#include <csignal>
#include <optional>

namespace {

// Mapped pop-up windows (menus) on the screen.
int popupsShown() {
    Display* d = XOpenDisplay(nullptr);
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    int shown = 0;
    if (d && XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes a;
            if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable &&
                a.override_redirect && a.height > 100)
                ++shown;
        }
        XFree(children);
    }
    if (d)
        XCloseDisplay(d);
    return shown;
}

// The recent dictations of `mirvo` (of `home`), which has twenty: pasted again, and in the menu.
void historyFigures(TestDesktop& desktop, const QString& home) {
    std::vector<double> pasteLast, menuOpen;
    desktop.focusTarget();
    for (int i = 0; i < 5; ++i) {
        const qsizetype before = desktop.typed().size();
        QElapsedTimer clock;
        clock.start();
        MirvoProcess::command(home, TestDesktop::environment(home), {"--paste-last"});
        if (QTest::qWaitFor([&] { return desktop.typed().size() > before; }, 5000))
            pasteLast.push_back(double(clock.nsecsElapsed()) / 1e6);
        QTest::qWait(300);

        const QRect icon = desktop.trayIcons().value(0);
        clock.restart();
        clickAt(icon.center().x(), icon.center().y(), 3);
        if (QTest::qWaitFor([] { return popupsShown() > 0; }, 5000))
            menuOpen.push_back(double(clock.nsecsElapsed()) / 1e6);
        fakeKey("Escape", true);
        fakeKey("Escape", false);
        (void)QTest::qWaitFor([] { return popupsShown() == 0; }, 5000);
        desktop.focusTarget();
    }
    figure("history_paste_last_ms_p50", percentile(pasteLast, 0.5), "ms");
    figure("history_menu_open_ms", percentile(menuOpen, 0.5), "ms");
}

// Dictations of short synthetic phrases, each over other contents on the clipboard: the share
// after which the user's contents read back in full, then the recent dictations' figures. -1
// when the run could not be made.
double clipboardRestoredPercent(TestDesktop& desktop) {
    const QStringList phrases = {"yes", "hello there", "please call me back",
                                 "send the report to the team today",
                                 "the meeting has moved to thursday afternoon"};
    QStringList clips;
    for (int i = 0; i < phrases.size(); ++i) {
        clips.append(desktop.dir() + QStringLiteral("/clip-%1.wav").arg(i));
        if (!SpokenText::synthesize({phrases[i]}, clips.last()))
            return -1;
    }
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(QColor(40, 120, 200));
    QByteArray png;
    QBuffer pngBuffer(&png);
    if (!pngBuffer.open(QIODevice::WriteOnly) || !image.save(&pngBuffer, "PNG"))
        return -1;
    const QList<ClipboardContents> contents = {
        {{"text/plain", "plain words the user copied"}},
        {{"text/plain", "formatted words"}, {"text/html", "<b>formatted</b> words"}},
        {{"image/png", png}},
        {{"application/x-mirvo-test", QByteArray("\x00\x01\xfe\xff binary", 11)}},
    };
    const QString home = desktop.newHome();
    MirvoProcess mirvo(home, TestDesktop::environment(home) +
                                 QStringList{"MIRVO_UPDATE_MANIFEST_URL=http://127.0.0.1:9/none"});
    if (!mirvo.waitFor(QStringLiteral("[Mirvo] coordinator up")) || !desktop.closeChecklist())
        return -1;
    QTest::qWait(1000);
    const auto answered = [&] {
        return mirvo.count(QStringLiteral("[Mirvo] pasted")) +
               mirvo.count(QStringLiteral("[Mirvo] empty transcript — nothing to paste"));
    };
    QRandomGenerator random(20261207);
    const int dictations = 50;
    int restored = 0;
    for (int i = 0; i < dictations; ++i) {
        const ClipboardContents& copied = contents[i % contents.size()];
        if (!desktop.own(copied))
            return -1;
        const int before = answered();
        fakeKey("Control_R", true);
        QTest::qWait(100);
        desktop.pulse().play(clips[i % clips.size()]);
        QTest::qWait(100 + random.bounded(200));
        fakeKey("Control_R", false);
        if (!QTest::qWaitFor([&] { return answered() > before; }, 15000))
            continue;
        restored += desktop.clipboardHolds(copied) ? 1 : 0;
        QTest::qWait(random.bounded(150));
    }
    historyFigures(desktop, home);
    return 100.0 * restored / dictations;
}

} // namespace

// Figures of dictations made by a fresh test-mode Mirvo on a 2-s sentence.
bool firstDictationFigures(TestDesktop& desktop) {
    const QString speech = QDir::temp().filePath(QStringLiteral("mirvo-bench-sentence.wav"));
    if (!SpokenText::synthesize({QStringLiteral("please send the report before noon")}, speech))
        return false;
    const auto start = [&](const QString& home) {
        return std::make_unique<MirvoProcess>(
            home, TestDesktop::environment(home) +
                      QStringList{"MIRVO_TEST_MODE=1", "MIRVO_TEST_AUDIO=" + speech});
    };
    // Held for the sentence's length, then released: how long the text took after release.
    const auto dictate = [](MirvoProcess& mirvo, int round) -> std::optional<double> {
        mirvo.signal(SIGUSR1);
        if (!mirvo.waitFor(QStringLiteral("[Mirvo] hotkey event: down"), round, 5000))
            return std::nullopt;
        QTest::qWait(2000);
        QElapsedTimer clock;
        clock.start();
        mirvo.signal(SIGUSR2);
        const bool delivered = QTest::qWaitFor(
            [&] {
                return mirvo.count(QStringLiteral("[Mirvo] pasted")) +
                           mirvo.count(QStringLiteral("empty transcript")) >=
                       round;
            },
            30000);
        if (!delivered || mirvo.count(QStringLiteral("[Mirvo] pasted")) < round)
            return std::nullopt;
        return double(clock.nsecsElapsed()) / 1e6;
    };
    std::vector<double> ready, firstText, afterSave;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer clock;
        clock.start();
        auto fresh = start(desktop.newHome());
        if (!fresh->waitFor(QStringLiteral("speech model ready"), 1, 30000))
            return false;
        ready.push_back(double(clock.nsecsElapsed()) / 1e6);

        const QString home = desktop.newHome();
        auto mirvo = start(home);
        if (!mirvo->waitFor(QStringLiteral("[Mirvo] coordinator up"), 1, 30000))
            return false;
        const std::optional<double> first = dictate(*mirvo, 1);
        if (!first)
            return false;
        firstText.push_back(*first);

        QFile vocabulary(home + QStringLiteral("/config/Mirvo/vocabulary.txt"));
        if (!vocabulary.open(QIODevice::WriteOnly) ||
            vocabulary.write(
                QStringLiteral("Kubernetes\nAnsible\nGwendolyn %1\n").arg(i).toUtf8()) <= 0)
            return false;
        vocabulary.close();
        QTest::qWait(50);
        const std::optional<double> saved = dictate(*mirvo, 2);
        if (!saved)
            return false;
        afterSave.push_back(*saved);
    }
    figure("first_decoder_ready_ms", percentile(ready, 0.5), "ms");
    figure("first_dictation_release_to_text_ms", percentile(firstText, 0.5), "ms");
    figure("vocabulary_save_dictation_wait_ms", percentile(afterSave, 0.5), "ms");
    return true;
}

int main(int argc, char** argv) {
    XvfbServer xvfb;
    if (!xvfb.start(QStringLiteral("1280x1024")))
        return 1;
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    TestDesktop desktop;
    if (!desktop.start(QStringLiteral("hello")) || !desktop.startTray()) {
        std::fprintf(stderr, "cannot start the sound server or the tray\n");
        return 1;
    }
    const QString home = desktop.newHome();
    const QStringList environment =
        TestDesktop::environment(home) +
        QStringList{"MIRVO_UPDATE_MANIFEST_URL=http://127.0.0.1:9/latest.json"};
    const auto trayIcons = [&] { return desktop.trayIcons().size(); };

    std::vector<double> toTray, toCoordinator, forwards;
    long rssKb = -1;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer clock;
        clock.start();
        MirvoProcess mirvo(home, environment);
        while (trayIcons() == 0 && clock.elapsed() < 10000)
            QTest::qWait(2);
        toTray.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (!mirvo.waitFor(QStringLiteral("[Mirvo] coordinator up"), 1, 10000))
            return 1;
        toCoordinator.push_back(double(clock.nsecsElapsed()) / 1e6);

        const QString secondDir = home + QStringLiteral("/second-%1").arg(i);
        QDir().mkpath(secondDir);
        clock.restart();
        MirvoProcess second(secondDir, environment);
        if (!second.exitsCleanly(5000))
            return 1;
        forwards.push_back(double(clock.nsecsElapsed()) / 1e6);

        if (i == 4) {
            (void)QTest::qWaitFor([] { return windowNamed("Welcome to Mirvo").isValid(); }, 5000);
            closeWindowNamed(QStringLiteral("Welcome to Mirvo"));
            QTest::qWait(5000);
            rssKb = processStatus(QString::number(mirvo.pid()), "VmRSS");
        }
    }
    figure("launch_to_tray_ms", percentile(toTray, 0.5), "ms");
    figure("launch_to_coordinator_up_ms", percentile(toCoordinator, 0.5), "ms");
    figure("second_launch_forward_ms", percentile(forwards, 0.5), "ms");
    figure("idle_rss_mb", double(rssKb) / 1024, "MB");
    const double restored = clipboardRestoredPercent(desktop);
    figure("clipboard_restored_percent", restored, "%");
    if (!firstDictationFigures(desktop)) {
        std::fprintf(stderr, "a first dictation was not delivered\n");
        return 1;
    }
    return 0;
}
