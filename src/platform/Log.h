#pragma once

#include <QString>

#include <functional>

// The one logging call: a time-stamped line to stderr and to the system journal (syslog).
// Thread-safe; callable from any thread, including the audio capture thread.
void mirvoLog(const QString& line);

// Observers see every logged line (without the time stamp); tests use them to capture output.
using LogObserver = std::function<void(const QString& line)>;
int addLogObserver(LogObserver observer);
void removeLogObserver(int token);
