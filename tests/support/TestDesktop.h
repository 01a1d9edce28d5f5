#pragma once

#include "MirvoProcess.h"
#include "PulseAudioServer.h"
#include "Subprocess.h"

#include <QByteArray>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// What the user copied: types and their bytes.
using ClipboardContents = QList<std::pair<QString, QByteArray>>;

// One desktop for every process-level suite and bench: X11 (the X server the suite's main runs
// in, under xvfb-run), or a headless sway or KDE Plasma's KWin of its own. It has a sound server
// whose microphone hears what is played, an application to dictate into, another program that
// holds the clipboard, and Mirvo. Neither compositor runs as root, so a test run as root runs a
// Wayland desktop and every client of it as an unprivileged user (created the first time), with
// a private runtime folder that user owns.
class TestDesktop final {
public:
    enum class Kind { x11, sway, kwin };

    // `swayConfig`: lines of sway's configuration after the desktop's own.
    explicit TestDesktop(Kind kind = Kind::x11, const QString& swayConfig = {});
    ~TestDesktop();
    TestDesktop(const TestDesktop&) = delete;
    TestDesktop& operator=(const TestDesktop&) = delete;

    // Starts the compositor (Wayland) and the sound server, and speaks `sentence` into the
    // sample dictate() plays; false (with error()) when something cannot start.
    bool start(const QString& sentence);
    // KWin: starts the desktop portal on the desktop's bus and waits for it.
    bool startPortal();
    Kind kind() const { return kind_; }
    const QString& error() const { return error_; }
    // A folder the desktop's user may write in.
    QString dir() const { return root_.path(); }
    PulseAudioServer& pulse() { return pulse_; }

    // Mirvo as the desktop's user, its checklist finished on an earlier launch.
    std::unique_ptr<MirvoProcess> startMirvo(const QStringList& extra = {});
    // Runs `mirvo ARGUMENT` (such as "--paste-last") for the Mirvo startMirvo() started, as a
    // key binding would; whether it exited with status 0.
    bool tellMirvo(const QString& argument);
    // X11: a fresh user's home (config and a private runtime folder), its checklist finished
    // unless `newcomer`; what Mirvo needs to live there; Mirvo launched there.
    QString newHome(bool newcomer = false);
    static QStringList environment(const QString& home);
    std::unique_ptr<MirvoProcess> launch(const QString& home, const QStringList& extra = {});

    // The application dictated into, started on first use, with the keyboard focus: the test
    // helper's text field (X11; on KWin as a terminal), or a terminal (sway); terminals paste
    // with Ctrl+Shift+V. What it holds.
    bool focusTarget();
    QString typed() const;
    // Holds the hold key while the sample plays into the microphone: X11 through XTest, sway
    // through its key binding of `mirvo --hold` / `--release`, KWin through its fake input and
    // the portal's shortcut (Ctrl+Alt+H).
    bool dictate();

    // Another program (the test helper) holds the clipboard with `contents`.
    bool own(const ClipboardContents& contents);
    // Whether every type of `contents` reads back byte for byte, within `ms`.
    bool clipboardHolds(const ClipboardContents& contents, int ms = 5000);
    // The clipboard in `type`; by default as text (UTF8_STRING on X11, text/plain on Wayland).
    QByteArray clipboard(QString type = {});

    // Wayland: clients run as the desktop's user, with what they need to reach the compositor.
    bool spawn(Subprocess& process, const QString& program, const QStringList& arguments,
               const QStringList& environment = {}, const QString& outputPath = {}) const;
    // Runs `program` to its end as the desktop's user; true when it exited with status 0.
    bool run(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
             int timeoutMs = 10000) const;
    // The compositor's socket, for a client in this process (WAYLAND_DISPLAY).
    QByteArray socketPath() const;
    // sway: the app id of the focused window, "" when none.
    QString focusedAppId() const;

    // X11: the tray; the checklist.
    bool startTray();
    void stopTray() { tray_.stop(); }
    QList<QRect> trayIcons() const;
    // Opens the tray menu and picks the item `downs` places down.
    void pickFromTrayMenu(int downs);
    // Closes the checklist with its close button and (unless not `toTarget`) gives the text
    // field the keyboard.
    bool closeChecklist(bool toTarget = true);

private:
    bool startCompositor();
    bool startKWin();
    bool launchCompositor(const QString& name, QStringList line,
                          const std::function<bool()>& answers);
    QStringList command(const QString& program, const QStringList& arguments,
                        const QStringList& environment, bool client = true) const;
    QStringList waylandEnvironment() const;
    QString busAddress() const;
    void giveToUser(const QString& path) const;

    const Kind kind_;
    QTemporaryDir root_;
    QString runtime_;
    QString swaySocket_;
    QString speech_;
    QString error_;
    QString targetLog_;
    QString mirvoHome_;
    int homes_ = 0;
    int owned_ = 0;
    PulseAudioServer pulse_;
    Subprocess bus_;
    Subprocess compositor_;
    Subprocess portalBackend_;
    Subprocess portal_;
    Subprocess keyboard_;
    Subprocess tray_;
    Subprocess owner_;
    Subprocess target_;
};

// X11, through XTest and Xlib on connections of their own: keys, clicks and windows.
void fakeKey(const char* keysymName, bool down);
// Moves the pointer to `x`, `y` on the screen and clicks `button` (1 left, 3 right).
void clickAt(int x, int y, int button = 1);
// The frame of the mapped top-level window titled `title`, on the screen; empty when none.
QRect windowNamed(const QString& title);
// Asks the window titled `title` to close, as a window manager's close button does
// (WM_DELETE_WINDOW); false when there is no such window.
bool closeWindowNamed(const QString& title);
bool focusWindowNamed(const QString& title);

// The test helper's text field on X11, and what it logged: "ready", "text <contents>" on every
// change, "key <chord>" for key presses.
class TextField {
public:
    explicit TextField(const QString& dir, const QStringList& extra = {});
    bool waitReady();
    QStringList lines() const;
    // The field's latest contents; those of the field that logs to `log`.
    QString text() const;
    static QString textIn(const QString& log);

private:
    QString log_;
    Subprocess process_;
};
