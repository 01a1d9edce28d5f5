// What the desktop's D-Bus services cost Mirvo, against the tests' fakes on a private bus:
//   gnome_portal_paste_ms_p50   GNOME: a paste through the remote desktop session, from the
//                               dictation's text being ready (the release) until the portal has
//                               the chord's last key: the user's clipboard read through the
//                               Clipboard portal, the text offered there, Ctrl+V as keysyms
//                               (p50 of 20)
//   kde_focus_query_ms_p50      KDE: learning which window has the focus, from KWin's script
//                               reporting an activation until Mirvo's focus watch has the class
//                               (p50 of 20); at paste time it is then a member read
//   media_pause_ms              a dictation starting with a video playing: from Mirvo asking
//                               the media players to pause to the playing one being told to
//                               (p50 of 20, beside one paused player and one that only errs)
#include "Figures.h"
#include "core/Paster.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/desktop/MprisMediaPlayers.h"
#include "platform/linux/wayland/KWinFocusWatch.h"
#include "support/Await.h"
#include "support/BusFakes.h"
#include "support/Utilities.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QTest>

namespace {

// KWin's scripting as far as the focus watch uses it: every script loads and runs.
class FakeKWin final : public QDBusVirtualObject {
public:
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        return bus.send(message.member() == "loadScript" ? message.createReply(1)
                                                         : message.createReply());
    }
    QString introspect(const QString&) const override { return {}; }
};

// Waits for `done` without the poll interval of QTest::qWaitFor: each event wakes it at once.
bool waitFor(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

double sinceMs(std::chrono::steady_clock::time_point from,
               std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::vector<double> gnomePastes() {
    PortalBus& bus = portalBus();
    QTemporaryDir state;
    ScopedVariable home("XDG_STATE_HOME", state.path().toUtf8());
    ScopedVariable wayland("WAYLAND_DISPLAY", "mirvo-no-compositor");
    ScopedVariable desktop("XDG_CURRENT_DESKTOP", "GNOME");
    LinuxPlatform platform;
    const auto keyboard = platform.makeKeyboardEvents();
    AllowedChordPaster paster(platform.makePasteboard(), keyboard, [](const QString&) {});
    if (!await(platform.allowKeys(), 5000).value.value_or(false))
        return {};
    bus.emitSignal(
        "org.freedesktop.portal.Clipboard", "SelectionOwnerChanged",
        {QVariantMap{{"mime_types", QStringList{"text/plain"}}, {"session_is_owner", false}}});
    QTest::qWait(100);
    std::vector<double> pastes;
    for (int i = 1; i <= 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        if (paster.paste("the quarterly report") != PasteOutcome::pasted ||
            !QTest::qWaitFor(
                [&] {
                    std::lock_guard lock(bus.portal.mutex);
                    return bus.portal.keys.size() == 4 * i;
                },
                5000))
            return {};
        {
            std::lock_guard lock(bus.portal.mutex);
            pastes.push_back(sinceMs(start, bus.portal.lastKeyAt));
        }
        paster.finishPending();
    }
    return pastes;
}

std::vector<double> kdeFocusQueries() {
    PortalBus& bus = portalBus();
    FakeKWin kwin;
    QDBusConnection kwinBus = QDBusConnection::connectToBus(bus.address, "kwin");
    if (!kwinBus.registerVirtualObject("/Scripting", &kwin, QDBusConnection::SubPath) ||
        !kwinBus.registerService("org.kde.KWin"))
        return {};
    // The watch waits for KWin's answers without running the event loop.
    kwin.moveToThread(&bus.thread);
    const std::unique_ptr<KWinFocusWatch> watch = KWinFocusWatch::start();
    if (!watch)
        return {};
    std::vector<double> queries;
    for (int i = 0; i < 20; ++i) {
        const QString windowClass = i % 2 ? "org.kde.konsole" : "org.kde.kate";
        QElapsedTimer clock;
        clock.start();
        kwinBus.send(QDBusMessage::createMethodCall(QDBusConnection::sessionBus().baseService(),
                                                    "/ai/mirvo/KWinFocus", "ai.mirvo.KWinFocus",
                                                    "report")
                     << windowClass);
        if (!waitFor([&] { return watch->focusedClass() == windowClass; }, 5000))
            return {};
        queries.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    return queries;
}

std::vector<double> mediaPauses() {
    portalBus();
    FakeMediaPlayer playing("video", "Playing"), paused("music", "Paused"), broken("broken", "");
    MprisMediaPlayers media(QDBusConnection::sessionBus());
    std::vector<double> pauses;
    for (int i = 1; i <= 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        media.pausePlaying();
        if (!waitFor([&] { return playing.calls().size() == 2 * i - 1; }, 5000))
            return {};
        pauses.push_back(sinceMs(start, playing.pausedAt()));
        media.resumePaused();
        if (!waitFor([&] { return playing.calls().size() == 2 * i; }, 5000))
            return {};
    }
    return pauses;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::vector<double> pastes = gnomePastes();
    const std::vector<double> queries = kdeFocusQueries();
    const std::vector<double> pauses = mediaPauses();
    if (pastes.empty() || queries.empty() || pauses.empty()) {
        std::fprintf(stderr, "the test services did not answer\n");
        return 1;
    }
    figure("gnome_portal_paste_ms_p50", percentile(pastes, 0.5), "ms");
    figure("kde_focus_query_ms_p50", percentile(queries, 0.5), "ms");
    figure("media_pause_ms", percentile(pauses, 0.5), "ms");
    return 0;
}
