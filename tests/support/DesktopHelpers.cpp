#include "DesktopHelpers.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTest>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace {

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

TextField::TextField(const QString& program, const QString& dir, const QStringList& extra) {
    static int counter = 0;
    log_ = dir + QStringLiteral("/field-%1.log").arg(++counter);
    process_.start(program, QStringList{log_} + extra);
}

bool TextField::waitReady() {
    const QDeadlineTimer deadline(10000);
    while (!lines().contains("ready") && !deadline.hasExpired())
        QTest::qWait(20);
    return lines().contains("ready");
}

QStringList TextField::lines() const {
    return QString::fromUtf8(readFile(log_)).split('\n', Qt::SkipEmptyParts);
}

QString TextField::text() const {
    QString last;
    for (const QString& line : lines())
        if (line.startsWith("text "))
            last = line.mid(5);
    return last;
}

void fakeKey(const char* keysymName, bool down) {
    Display* d = XOpenDisplay(nullptr);
    XTestFakeKeyEvent(d, XKeysymToKeycode(d, XStringToKeysym(keysymName)), down, CurrentTime);
    XSync(d, False);
    XCloseDisplay(d);
}

QByteArray clipboardData(const QString& dir, const QString& type) {
    const QString out = dir + "/xclip.out";
    QFile::remove(out);
    Subprocess xclip;
    xclip.start("sh", {"-c", QStringLiteral("xclip -selection clipboard -t '%1' -o > '%2' "
                                            "2>/dev/null")
                                 .arg(type, out)});
    const QDeadlineTimer deadline(5000);
    while (xclip.isRunning() && !deadline.hasExpired())
        QTest::qWait(10);
    return readFile(out);
}
