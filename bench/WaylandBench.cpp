// Mirvo's figures on a headless sway desktop, the real binary pasting into a Wayland terminal:
//   command_forward_ms          `mirvo --hold` started to "hotkey event: down" in Mirvo's log
//                               (p50 of 5)
//   process_start_floor_ms      `/bin/true` started the same way until it has ended (p50 of 5)
//   wayland_release_to_paste_ms_p50   `mirvo --release` started to "[Mirvo] pasted", the
//                               clipboard set through Mirvo's data-control client and the chord
//                               typed through wtype (p50 of 5, the utterance of
//                               release_to_paste_ms)
//   wayland_clipboard_types_restored_percent   of what the user had copied before those
//                               dictations (text; text and HTML; a PNG image; a custom type), how
//                               much came back with every type byte for byte
//   wayland_snapshot_many_types_ms   Mirvo's clipboard client reading in full what another
//                               client offers in 100 types of 1 KiB (the snapshot a paste takes)
// and on a headless KDE Plasma (KWin and its desktop portal):
//   portal_hold_to_recording_ms_p50   the key presser started (it presses Ctrl+Alt+H, the
//                               desktop's shortcut "Hold to dictate", through KWin's fake input)
//                               to "[Mirvo/Audio] engine started" in Mirvo's log (p50 of 5)
#include "Figures.h"
#include "core/Paster.h"
#include "platform/linux/LinuxPlatform.h"
#include "support/SpokenText.h"
#include "support/TestDesktop.h"
#include "support/Utilities.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTest>

namespace {

// Milliseconds from now until `line` has been logged `times` times; -1 after 20 s.
double untilLogged(const MirvoProcess& mirvo, const QString& line, int times) {
    QElapsedTimer clock;
    clock.start();
    while (mirvo.count(line) < times) {
        if (clock.elapsed() > 20000)
            return -1;
        QTest::qWait(1);
    }
    return double(clock.nsecsElapsed()) / 1e6;
}

// Mirvo on KWin, held through the desktop portal's shortcut; the times to recording, empty when
// the desktop does not come up.
std::vector<double> portalHolds() {
    TestDesktop kwin(TestDesktop::Kind::kwin);
    if (!kwin.start(QStringLiteral("hello")) || !kwin.startPortal()) {
        std::fprintf(stderr, "cannot start KWin and its portal: %s\n", qPrintable(kwin.error()));
        return {};
    }
    const auto log = kwin.startMirvo();
    if (untilLogged(*log, "[Mirvo] hold key: the desktop's shortcut", 1) < 0)
        return {};
    QTest::qWait(1500); // the speech model warms up
    std::vector<double> holds;
    for (int i = 1; i <= 5; ++i) {
        const QString letGo = kwin.dir() + "/let-go" + QString::number(i);
        Subprocess keys;
        QElapsedTimer clock;
        clock.start();
        kwin.spawn(keys, MIRVO_TEST_HELPER, {"kwin-keys", letGo, "29", "56", "35"});
        if (untilLogged(*log, "[Mirvo/Audio] engine started", i) < 0)
            return {};
        holds.push_back(double(clock.nsecsElapsed()) / 1e6);
        QTest::qWait(300);
        writeFile(letGo, {});
        if (!keys.waitForSuccess(5000) || untilLogged(*log, "[Mirvo] hotkey event: up", i) < 0)
            return {};
        QTest::qWait(1500);
    }
    return holds;
}

// How long Mirvo's snapshot of an owner of 100 types takes; -1 when it is not read in full.
double manyTypesSnapshotMs(TestDesktop& session) {
    ClipboardContents many;
    for (int t = 0; t < 100; ++t)
        many.append({QStringLiteral("application/x-mirvo-%1").arg(t), QByteArray(1024, 'x')});
    if (!session.own(many))
        return -1;
    ScopedVariable display("WAYLAND_DISPLAY", session.socketPath());
    ScopedVariable desktop("XDG_CURRENT_DESKTOP", "sway");
    const std::shared_ptr<Pasteboard> pasteboard = LinuxPlatform().makePasteboard();
    if (!pasteboard)
        return -1;
    QElapsedTimer clock;
    clock.start();
    const PasteboardPaster::Snapshot snapshot = PasteboardPaster::snapshot(*pasteboard);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    return snapshot.complete && snapshot.items.size() == 1 && snapshot.items[0].size() == 100 ? ms
                                                                                              : -1;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString mirvo = QStringLiteral(MIRVO_BINARY);
    TestDesktop session(TestDesktop::Kind::sway);
    if (!session.start(QStringLiteral("please send the quarterly report to the finance team "
                                      "before noon")) ||
        !session.focusTarget()) {
        std::fprintf(stderr, "cannot start sway or the sound server: %s\n",
                     qPrintable(session.error()));
        return 1;
    }
    const QString speech = session.dir() + "/spoken.wav";
    auto running = session.startMirvo();
    const MirvoProcess& log = *running;
    if (untilLogged(log, "[Mirvo] coordinator up", 1) < 0)
        return 1;
    QTest::qWait(1500); // the speech model warms up

    // What the user had copied before each dictation, held by another client.
    const QList<ClipboardContents> clipboards = {
        {{"text/plain;charset=utf-8", "plain words"}},
        {{"text/plain;charset=utf-8", "bold words"}, {"text/html", "<b>bold</b> words"}},
        {{"image/png", readFile(MIRVO_SOURCE_DIR "/resources/mirvo-icon.png")}},
        {{"application/x-mirvo-test", QByteArray("\0\1\2\r\n\xff", 6)}},
    };
    int restored = 0;
    std::vector<double> forwards, releaseToPaste;
    // Milliseconds from starting `mirvo ARGUMENT` to its `i`-th `line` in the log; -1 if never.
    const auto timed = [&](const char* argument, const char* line, int i) {
        Subprocess command;
        QElapsedTimer clock;
        clock.start();
        session.spawn(command, mirvo, {argument});
        return untilLogged(log, line, i) < 0 ? -1.0 : double(clock.nsecsElapsed()) / 1e6;
    };
    for (int i = 1; i <= 5; ++i) {
        const ClipboardContents& clipboard = clipboards[(i - 1) % clipboards.size()];
        if (!session.own(clipboard))
            return 1;
        forwards.push_back(timed("--hold", "[Mirvo] hotkey event: down", i));
        QTest::qWait(300);
        session.pulse().play(speech);
        QTest::qWait(300);
        releaseToPaste.push_back(timed("--release", "[Mirvo] pasted", i));
        if (forwards.back() < 0 || releaseToPaste.back() < 0)
            return 1;
        QTest::qWait(2500); // the user's clipboard comes back
        if (i <= clipboards.size())
            restored += session.clipboardHolds(clipboard) ? 1 : 0;
    }
    const double manyTypes = manyTypesSnapshotMs(session);
    if (manyTypes < 0)
        return 1;
    std::vector<double> floor;
    for (int i = 0; i < 5; ++i) {
        Subprocess command;
        QElapsedTimer clock;
        clock.start();
        session.spawn(command, "/bin/true", {});
        if (!command.waitForSuccess(5000))
            return 1;
        floor.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    running.reset();
    const std::vector<double> holds = portalHolds();
    if (holds.empty())
        return 1;
    figure("command_forward_ms", percentile(forwards, 0.5), "ms");
    figure("process_start_floor_ms", percentile(floor, 0.5), "ms");
    figure("wayland_release_to_paste_ms_p50", percentile(releaseToPaste, 0.5), "ms");
    figure("wayland_clipboard_types_restored_percent", 100.0 * restored / clipboards.size(), "%");
    figure("portal_hold_to_recording_ms_p50", percentile(holds, 0.5), "ms");
    figure("wayland_snapshot_many_types_ms", manyTypes, "ms");
    return 0;
}
