#pragma once

#include "Subprocess.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

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

// The clipboard as another client reads it, through xclip. The event loop keeps running while
// it waits, because this process may be the owner that has to answer.
QByteArray clipboardData(const QString& dir, const QString& type = QStringLiteral("UTF8_STRING"));
