#pragma once

#include <QString>

#include <functional>

// How a line reaches the system journal; the text is the same whatever the level.
enum class LogLevel { info, warning, error };

// The one logging call: a time-stamped line to stderr and to the system journal at the level's
// priority. Thread-safe; callable from any thread, including the audio capture thread.
void mirvoLog(const QString& line, LogLevel level = LogLevel::info);

// Whether log lines may carry the words a user dictated. Off unless turned on (test mode, and
// MIRVO_LOG_TRANSCRIPTS=1 for someone debugging): the system journal keeps what it is given.
void setLogDictatedWords(bool allowed);
// Dictated `text` as a log line shows it: in quotes (or bare, when not `quoted`) where allowed,
// "(42 characters)" otherwise.
QString dictatedText(const QString& text, bool quoted = true);
// Characters as a reader counts them (grapheme clusters), not UTF-16 units.
int characterCount(const QString& text);

// "true" or "false", as flags appear in log lines.
inline QString boolText(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// Observers see every logged line (without the time stamp); tests use them to capture output.
using LogObserver = std::function<void(const QString& line)>;
int addLogObserver(LogObserver observer);
void removeLogObserver(int token);

// Where lines go besides stderr: the system journal, which the platform installs at start;
// tests replace it to see the levels. Null: stderr only.
using JournalSink = void (*)(LogLevel level, const char* line);
void setJournalSink(JournalSink sink);
// The system's id of the calling thread, printed beside the process id; installed by the
// platform (null: none printed).
using ThreadIdSource = long (*)();
void setThreadIdSource(ThreadIdSource source);
