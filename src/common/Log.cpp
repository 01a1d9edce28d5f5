#include "Log.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTextBoundaryFinder>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

namespace {

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

std::map<int, LogObserver>& observers() {
    static std::map<int, LogObserver> map;
    return map;
}

int nextToken = 1;
JournalSink journalSink = nullptr;
ThreadIdSource threadIdSource = nullptr;
std::atomic<bool> dictatedWordsAllowed{false};

} // namespace

void mirvoLog(const QString& line, LogLevel level) {
    const QByteArray utf8 = line.toUtf8();
    std::map<int, LogObserver> snapshot;
    {
        std::lock_guard lock(logMutex());
        // Under the lock: the local-time conversion rereads the time zone in glibc, whose own
        // lock ThreadSanitizer cannot see; and stamps come out in order.
        const QByteArray stamp = QDateTime::currentDateTime()
                                     .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"))
                                     .toUtf8();
        const QByteArray process =
            QByteArray::number(QCoreApplication::applicationPid()) +
            (threadIdSource ? ':' + QByteArray::number(threadIdSource()) : QByteArray());
        std::fprintf(stderr, "%s mirvo[%s] %s\n", stamp.constData(), process.constData(),
                     utf8.constData());
        std::fflush(stderr);
        if (journalSink)
            journalSink(level, utf8.constData());
        snapshot = observers();
    }
    // Called outside the lock so that an observer may log or unregister.
    for (auto& [token, observer] : snapshot)
        observer(line);
}

int addLogObserver(LogObserver observer) {
    std::lock_guard lock(logMutex());
    const int token = nextToken++;
    observers().emplace(token, std::move(observer));
    return token;
}

void removeLogObserver(int token) {
    std::lock_guard lock(logMutex());
    observers().erase(token);
}

void setJournalSink(JournalSink sink) {
    std::lock_guard lock(logMutex());
    journalSink = sink;
}

void setThreadIdSource(ThreadIdSource source) {
    std::lock_guard lock(logMutex());
    threadIdSource = source;
}

void setLogDictatedWords(bool allowed) {
    dictatedWordsAllowed = allowed;
}

QString dictatedText(const QString& text, bool quoted) {
    if (dictatedWordsAllowed)
        return quoted ? QLatin1Char('"') + text + QLatin1Char('"') : text;
    return QStringLiteral("(%1 characters)").arg(characterCount(text));
}

int characterCount(const QString& text) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}
