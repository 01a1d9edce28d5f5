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

// Presses or releases the key of an X keysym name through XTest.
void fakeKey(const char* keysymName, bool down);
// Moves the pointer to `x`, `y` on the screen and clicks `button` (1 left, 3 right), through XTest.
void clickAt(int x, int y, int button = 1);
// The frame of the mapped top-level window titled `title`, on the screen; empty when none.
QRect windowNamed(const QString& title);
// Asks the window titled `title` to close, as a window manager's close button does
// (WM_DELETE_WINDOW); false when there is no such window.
bool closeWindowNamed(const QString& title);
// Gives the keyboard focus to the window titled `title`.
bool focusWindowNamed(const QString& title);
// Leaves no window with the keyboard focus, as when the focused one closed.
void focusNothing();

// The clipboard as another client reads it, through xclip (scratch files in `dir`). The event
// loop keeps running while it waits, because this process may be the owner that has to answer.
QByteArray clipboardData(const QString& dir, const QString& type = QStringLiteral("UTF8_STRING"));

// What the user copied: types and their bytes.
using ClipboardContents = QList<std::pair<QString, QByteArray>>;

// Another program (`owner`, the test helper) owns the clipboard with `contents`, written to
// scratch files in `dir`.
bool ownClipboard(Subprocess& owner, const QString& dir, const ClipboardContents& contents);
// Whether every type of `contents` reads back from the clipboard byte for byte, within `ms`.
bool clipboardHolds(const QString& dir, const ClipboardContents& contents, int ms = 5000);

// The separate text-field program of the desktop tests (the test helper's "field" mode), and
// what it logged: "ready", "text <contents>" on every change, "key <chord>" for key presses.
class TextField {
public:
    explicit TextField(const QString& dir, const QStringList& extra = {});
    bool waitReady();
    QStringList lines() const;
    // The field's latest contents.
    QString text() const;

private:
    QString log_;
    Subprocess process_;
};

// One desktop for the process-level suites, on the X server the suite's main started: a sound
// server whose microphone hears what is played, a tray, the text field, the clipboard, and Mirvo
// launched for users with homes of their own.
class Desktop final {
public:
    // Starts the sound server and speaks `sentence` into the sample dictations play.
    bool start(const QString& sentence);
    const QString& error() const { return error_; }
    QString dir() const { return dir_.path(); }
    PulseAudioServer& pulse() { return pulse_; }
    const QString& speech() const { return speech_; }

    // A fresh user's home (config and a private runtime folder), whose checklist was finished
    // on an earlier launch unless `newcomer`.
    QString newHome(bool newcomer = false);
    static QStringList environment(const QString& home);
    std::unique_ptr<MirvoProcess> launch(const QString& home, const QStringList& extra = {});

    bool startTray();
    void stopTray() { tray_.stop(); }
    // The icons the tray holds.
    QList<QRect> trayIcons() const;
    // Opens the tray menu and picks the item `downs` places down.
    void pickFromTrayMenu(int downs);

    // The text field, started on first use, with the keyboard focus.
    TextField& field();
    // Closes the checklist with its close button and (unless not `toField`) gives the field the
    // keyboard.
    bool closeChecklist(bool toField = true);
    // Holds Right Ctrl while the sample plays into the microphone.
    bool dictate();
    // Another program owns the clipboard with `contents`.
    bool own(const ClipboardContents& contents) { return ownClipboard(owner_, dir(), contents); }
    QByteArray clipboard(const QString& type = QStringLiteral("UTF8_STRING")) {
        return clipboardData(dir(), type);
    }

private:
    QTemporaryDir dir_;
    PulseAudioServer pulse_;
    QString speech_;
    QString error_;
    Subprocess tray_;
    Subprocess owner_;
    std::unique_ptr<TextField> field_;
    int homes_ = 0;
};
