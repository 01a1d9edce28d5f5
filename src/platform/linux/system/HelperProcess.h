#pragma once

#include "LinuxOnly.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

// One run of a desktop helper program (wl-copy, wtype, swaymsg…), never longer than its
// timeout: a helper that hangs is killed and reported, and a missing one is said once per
// program, so that the caller can fall back without a wait.
struct HelperResult {
    bool ran = false;  // it started and ended by itself with status 0
    int exitCode = -1; // its status when it ended by itself; -1 when it did not
    QByteArray output; // its standard output
    QString problem;   // why not, for a log line; empty when it ran
};

class HelperProcess {
public:
    // `input`, when not null, is written to its standard input. A helper that leaves a child
    // running (wl-copy serves the clipboard so) is run with `captureOutput` false. A helper
    // that writes more than `maxOutputBytes` (-1: no limit) is killed and reported.
    static HelperResult run(const QString& program, const QStringList& arguments,
                            const QByteArray& input = QByteArray(), int timeoutMs = 1000,
                            bool captureOutput = true, qint64 maxOutputBytes = -1);
    // Whether `program` is on PATH.
    static bool exists(const QString& program);
};
