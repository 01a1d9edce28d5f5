#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include <QByteArray>
#include <QFileSystemWatcher>
#include <QHash>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// A word the speech model is taught: its dictionary spelling (lower case) and pronunciation.
struct TaughtWord {
    QByteArray spelling;
    QByteArray phones; // "K Y UW B ER N IY T S"
    bool operator==(const TaughtWord&) const = default;
};

// The user's own words and names (~/.config/Mirvo/vocabulary.txt), one word or phrase a line as
// it should be written: "Kubernetes", "Anna Kowalski". Empty lines and lines starting with '#'
// are skipped silently; a line with something that is not a word in it, or a word espeak-ng
// cannot say, is skipped with one log line naming its number.
struct UserVocabulary {
    // Every word of every entry, for the decoders; those the dictionary has are not re-taught.
    std::vector<TaughtWord> words;
    // The entries as the user writes them, for the decoders to favour (and the written-text
    // rules to spell).
    QStringList phrases;

    // A missing file is an empty vocabulary.
    static UserVocabulary read(const QString& path);
    static QString defaultPath(const QString& configDirectory);
};

// The vocabulary file, read at start and again whenever it changes (editors that save by
// replacing the file included). Lives on the main thread; current() may be called from any.
class VocabularyWatcher final : public QObject {
public:
    explicit VocabularyWatcher(QString path);

    std::shared_ptr<const UserVocabulary> current() const;
    // Called on this thread after every change.
    void onChange(std::function<void()> handler);

private:
    void reload();

    const QString path_;
    QFileSystemWatcher watcher_;
    // Size and modification time of the file last read; empty while there is none.
    QString stamp_;
    mutable std::mutex mutex_;
    std::shared_ptr<const UserVocabulary> current_;
    std::vector<std::function<void()>> handlers_;
};
