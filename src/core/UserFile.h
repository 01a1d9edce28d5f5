#pragma once

#include <QByteArray>
#include <QString>

// Mirvo's hand-edited files in the user's configuration folder (the service settings, a key),
// which decide where recordings and keys go: used only when they are the user's own.

// The whole file, at most `maxBytes`; throws DecodingError saying why it cannot be read.
QByteArray readUserFile(const QString& path, qint64 maxBytes = 1 << 20);

// Why the file must not be used: someone other than the user could have written it. Empty when
// it is the user's own.
QString unsafeUserFileProblem(const QString& path);

// Whether other users may read it.
bool othersMayRead(const QString& path);

// Replaces the file with `data` at once, readable by the user alone, making its folder; why it
// could not, or empty.
QString writeUserFile(const QString& path, const QByteArray& data);
