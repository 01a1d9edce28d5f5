#pragma once

#include "Subprocess.h"

#include <QByteArray>
#include <QRect>
#include <QString>
#include <QStringList>

class PulseAudioServer;

// The separate text-field application of the desktop tests (helpers/TextFieldApp), and what
// it logged: "ready", "text <contents>" on every change, "key <chord>" for key presses.
class TextField {
public:
    TextField(const QString& program, const QString& dir, const QStringList& extra = {});
    bool waitReady();
    QStringList lines() const;
    // The field's latest contents.
    QString text() const;

private:
    QString log_;
    Subprocess process_;
};

// Presses or releases the key of an X keysym name through XTest.
void fakeKey(const char* keysymName, bool down);
// Holds the push-to-talk key (Right Ctrl) while `speech` plays into the microphone of `pulse`;
// false when it could not be played.
bool dictateThroughTheKey(PulseAudioServer& pulse, const QString& speech);
// Moves the pointer to `x`, `y` on the screen and clicks `button` (1 left, 3 right), through XTest.
void clickAt(int x, int y, int button = 1);

// The frame of the mapped top-level window titled `title`, on the screen; empty when none.
QRect windowNamed(const QString& title);
// The mapped child windows of the window titled `title`, on the screen (the icons a tray
// panel holds, say).
QList<QRect> mappedChildrenOf(const QString& title);
// Asks the window titled `title` to close, as a window manager's close button does
// (WM_DELETE_WINDOW); false when there is no such window.
bool closeWindowNamed(const QString& title);
// Gives the keyboard focus to the window titled `title`.
bool focusWindowNamed(const QString& title);

// The clipboard as another client reads it, through xclip. The event loop keeps running while
// it waits, because this process may be the owner that has to answer.
QByteArray clipboardData(const QString& dir, const QString& type = QStringLiteral("UTF8_STRING"));
