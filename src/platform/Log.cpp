#include "Log.h"

#include <QDateTime>
#include <QTextBoundaryFinder>

#include <atomic>

#include <cstdio>
#include <map>
#include <mutex>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

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

std::atomic<bool> dictatedWordsAllowed{false};

void writeSyslog(int priority, const char* line) {
    syslog(priority, "%s", line);
}

SyslogSink syslogSink = &writeSyslog;

int priorityOf(LogLevel level) {
    switch (level) {
    case LogLevel::warning:
        return LOG_WARNING;
    case LogLevel::error:
        return LOG_ERR;
    case LogLevel::info:
        break;
    }
    return LOG_INFO;
}

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
        static bool opened = false;
        if (!opened) {
            openlog("mirvo", LOG_PID, LOG_USER);
            opened = true;
        }
        std::fprintf(stderr, "%s mirvo[%d:%ld] %s\n", stamp.constData(), int(getpid()),
                     long(syscall(SYS_gettid)), utf8.constData());
        std::fflush(stderr);
        syslogSink(priorityOf(level), utf8.constData());
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

void setSyslogSink(SyslogSink sink) {
    std::lock_guard lock(logMutex());
    syslogSink = sink ? sink : &writeSyslog;
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
