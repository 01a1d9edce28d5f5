#include "UserVocabulary.h"

#include "EspeakPronouncer.h"
#include "common/Log.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

namespace {

// Letters and digits, with the marks names and products carry inside them: O'Brien, co-op,
// C++, Node.js, AT&T.
const QRegularExpression wordPattern(QStringLiteral("^[\\p{L}\\p{N}][\\p{L}\\p{N}'.&+-]*$"));
constexpr qsizetype longestLine = 100;

void skip(int lineNumber, const QString& why) {
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] vocabulary line %1 skipped: %2")
                 .arg(lineNumber)
                 .arg(why),
             LogLevel::warning);
}

} // namespace

QString UserVocabulary::defaultPath(const QString& configDirectory) {
    return configDirectory + QStringLiteral("/Mirvo/vocabulary.txt");
}

UserVocabulary UserVocabulary::read(const QString& path) {
    UserVocabulary vocabulary;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (file.exists())
            mirvoLog(QStringLiteral("[Mirvo/Transcriber] vocabulary unreadable: %1")
                         .arg(file.errorString()),
                     LogLevel::warning);
        return vocabulary;
    }
    QSet<QByteArray> taught;
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.size() > longestLine) {
            skip(lineNumber, QStringLiteral("longer than %1 characters").arg(longestLine));
            continue;
        }
        const QStringList written = line.split(QRegularExpression(QStringLiteral("\\s+")));
        std::vector<TaughtWord> words;
        QString problem;
        for (const QString& word : written) {
            if (!wordPattern.match(word).hasMatch()) {
                problem = QStringLiteral("not a word");
                break;
            }
            const QString phones = EspeakPronouncer::phonesOf(word);
            if (phones.isEmpty()) {
                problem = QStringLiteral("espeak-ng cannot say it");
                break;
            }
            words.push_back({word.toLower().toUtf8(), phones.toLatin1()});
        }
        if (!problem.isEmpty()) {
            skip(lineNumber, problem);
            continue;
        }
        vocabulary.phrases.append(written.join(QLatin1Char(' ')));
        for (qsizetype i = 0; i < written.size(); ++i) {
            if (!taught.contains(words[i].spelling)) {
                taught.insert(words[i].spelling);
                vocabulary.words.push_back(words[i]);
            }
        }
    }
    return vocabulary;
}

VocabularyWatcher::VocabularyWatcher(QString path) : path_(std::move(path)) {
    // The folder too: an editor that saves by replacing the file ends the file's watch, and a
    // file that does not exist yet can only be seen arriving there.
    watcher_.addPath(QFileInfo(path_).absolutePath());
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { reload(); });
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this] { reload(); });
    reload();
}

std::shared_ptr<const UserVocabulary> VocabularyWatcher::current() const {
    std::lock_guard lock(mutex_);
    return current_;
}

void VocabularyWatcher::onChange(std::function<void()> handler) {
    handlers_.push_back(std::move(handler));
}

void VocabularyWatcher::reload() {
    const QFileInfo file(path_);
    if (file.exists() && !watcher_.files().contains(path_))
        watcher_.addPath(path_);
    // The folder changes too when Mirvo's settings beside the file are written; only a changed
    // file is read (and its words spoken by espeak-ng) again.
    const QString stamp =
        file.exists()
            ? QStringLiteral("%1@%2").arg(file.size()).arg(file.lastModified().toMSecsSinceEpoch())
            : QString();
    if (current_ && stamp == stamp_)
        return;
    stamp_ = stamp;
    auto fresh = std::make_shared<const UserVocabulary>(UserVocabulary::read(path_));
    {
        std::lock_guard lock(mutex_);
        if (current_ && current_->phrases == fresh->phrases)
            return;
        current_ = std::move(fresh);
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] vocabulary: %1 entries")
                     .arg(current_->phrases.size()));
    }
    for (const auto& handler : handlers_)
        handler();
}
