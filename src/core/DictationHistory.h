#pragma once

#include "Paster.h"

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// One delivered dictation.
struct DictationEntry {
    QString text;
    QDateTime time;
    PasteOutcome outcome = PasteOutcome::pasted;
    // The application it went to; empty when the platform cannot tell.
    QString application;

    bool wasPasted() const { return outcome == PasteOutcome::pasted; }
    bool operator==(const DictationEntry&) const = default;
};

// Dictations kept across restarts: one JSON object a line, oldest first, in a folder only the
// user can read. Main thread only.
class DictationHistoryFile final {
public:
    static constexpr int capacity = 100;

    explicit DictationHistoryFile(QString path);
    // <state>/mirvo/history.jsonl: ~/.local/state/mirvo/history.jsonl on Linux.
    static QString defaultPath(const QString& stateDirectory);
    const QString& path() const { return path_; }

    // The entries kept, newest first. A file that cannot be read in full is moved aside (one
    // log line) and none are returned: a damaged line must not cost the ones after it a start.
    QList<DictationEntry> read() const;
    // Replaces the file with `entries` (newest first; the first `capacity`) in one step, so a
    // crash leaves the old file or the new one. False, logged, when it could not be written.
    bool write(const QList<DictationEntry>& entries) const;
    // The file and any damaged one moved aside.
    void remove() const;

private:
    static inline const QString damagedSuffix = QStringLiteral(".damaged");
    const QString path_;
};

// The last dictations, newest first: what the tray's "Recent Dictations" and "Paste Last
// Dictation" offer. With a file they are kept across restarts too; without one, nothing of a
// dictation reaches the disk. Main thread only.
class DictationHistory final {
public:
    static constexpr int capacity = 20;

    // `file` is read now and written on every change when `keep`; when not, one left from
    // before is removed, so that turning the setting off leaves nothing behind.
    explicit DictationHistory(std::optional<DictationHistoryFile> file = std::nullopt,
                              bool keep = false);

    void add(DictationEntry entry);
    void clear();
    // Turned on, the entries so far are written; turned off, the file goes.
    void setKeep(bool keep);
    // The last `capacity` at most, newest first.
    QList<DictationEntry> entries() const { return kept_.mid(0, capacity); }
    std::optional<DictationEntry> newest() const;
    bool isEmpty() const { return kept_.isEmpty(); }

private:
    void removeFile();

    const std::optional<DictationHistoryFile> file_;
    bool keep_;
    // Newest first; as many as the file keeps when there is one.
    QList<DictationEntry> kept_;
};
