#include "SystemLoginItem.h"

#include "common/AppIdentity.h"
#include "common/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// The keys of the [Desktop Entry] group that decide whose entry it is and whether it runs.
struct Entry {
    QString exec;
    bool hidden = false;
    bool switchedOff = false; // X-GNOME-Autostart-enabled=false, as GNOME's tools turn one off
    bool mirvos = false;      // written by Mirvo, whatever Mirvo it starts
};

const QString markerKey = QStringLiteral("X-Mirvo-Autostart");

std::optional<Entry> readEntry(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    Entry entry;
    bool inMainGroup = false;
    for (const QByteArray& raw : file.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("Exec"))
            entry.exec = value;
        else if (key == QLatin1String("Hidden"))
            entry.hidden = value == QLatin1String("true");
        else if (key == QLatin1String("X-GNOME-Autostart-enabled"))
            entry.switchedOff = value == QLatin1String("false");
        else if (key == markerKey)
            entry.mirvos = value == QLatin1String("true");
    }
    return entry;
}

QString autostartEntry(const QString& name) {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/") + name + QStringLiteral(".desktop");
}

bool samePath(const QString& a, const QString& b) {
    if (a == b)
        return true;
    const QString canonicalA = QFileInfo(a).canonicalFilePath();
    return !canonicalA.isEmpty() && canonicalA == QFileInfo(b).canonicalFilePath();
}

} // namespace

SystemLoginItem::SystemLoginItem(QString executable)
    : executable_(executable.isEmpty() ? QCoreApplication::applicationFilePath()
                                       : std::move(executable)) {
    // An upgrade leaves one entry: Mirvo's of the earlier name goes, to the new name unless
    // one is there.
    const QString earlier = earlierEntryPath();
    const std::optional<Entry> entry = readEntry(earlier);
    if (!entry || (!entry->mirvos && !samePath(programOf(entry->exec), executable_)))
        return;
    if (QFile::exists(entryPath()) ? QFile::remove(earlier) : QFile::rename(earlier, entryPath()))
        mirvoLog(QStringLiteral("[Mirvo] LoginItem: %1 is now %2").arg(earlier, entryPath()));
}

QString SystemLoginItem::entryPath() {
    return autostartEntry(mirvoAppId);
}

QString SystemLoginItem::earlierEntryPath() {
    return autostartEntry(QStringLiteral("mirvo"));
}

QString SystemLoginItem::execValue(const QString& program) {
    // Quoted argument first (", `, $ and \ take a backslash; % doubles), then the escapes of a
    // desktop-entry string, which double every backslash again.
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
        if (c == QLatin1Char('%'))
            quoted += QLatin1Char('%');
    }
    quoted += QLatin1Char('"');
    QString escaped;
    for (const QChar c : quoted) {
        if (c == QLatin1Char('\\'))
            escaped += QStringLiteral("\\\\");
        else if (c == QLatin1Char('\n'))
            escaped += QStringLiteral("\\n");
        else if (c == QLatin1Char('\t'))
            escaped += QStringLiteral("\\t");
        else if (c == QLatin1Char('\r'))
            escaped += QStringLiteral("\\r");
        else
            escaped += c;
    }
    return escaped;
}

QString SystemLoginItem::programOf(const QString& execValue) {
    QString unescaped;
    for (qsizetype i = 0; i < execValue.size(); ++i) {
        const QChar c = execValue[i];
        if (c != QLatin1Char('\\') || i + 1 == execValue.size()) {
            unescaped += c;
            continue;
        }
        const QChar next = execValue[++i];
        if (next == QLatin1Char('s'))
            unescaped += QLatin1Char(' ');
        else if (next == QLatin1Char('n'))
            unescaped += QLatin1Char('\n');
        else if (next == QLatin1Char('t'))
            unescaped += QLatin1Char('\t');
        else if (next == QLatin1Char('r'))
            unescaped += QLatin1Char('\r');
        else if (next == QLatin1Char('\\'))
            unescaped += QLatin1Char('\\');
        else
            unescaped += QLatin1Char('\\') + QString(next);
    }
    QString program;
    if (unescaped.startsWith(QLatin1Char('"'))) {
        qsizetype i = 1;
        for (; i < unescaped.size() && unescaped[i] != QLatin1Char('"'); ++i) {
            if (unescaped[i] == QLatin1Char('\\') && i + 1 < unescaped.size() &&
                QStringLiteral("\"`$\\").contains(unescaped[i + 1]))
                ++i;
            program += unescaped[i];
        }
        if (i == unescaped.size())
            return QString(); // no closing quote
    } else {
        program = unescaped.section(QLatin1Char(' '), 0, 0, QString::SectionSkipEmpty);
    }
    return program.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

SystemLoginItem::Status SystemLoginItem::status() const {
    const std::optional<Entry> entry = readEntry(entryPath());
    if (!entry)
        return Status::notRegistered;
    const QString program = programOf(entry->exec);
    const bool startsThisMirvo = samePath(program, executable_);
    if (!startsThisMirvo && !entry->mirvos) {
        if (!loggedForeign_) {
            loggedForeign_ = true;
            mirvoLog(
                QStringLiteral("[Mirvo] LoginItem: %1 starts %2, not this Mirvo; left as it is")
                    .arg(entryPath(), program.isEmpty() ? entry->exec : program));
        }
        return Status::foreign;
    }
    // Ours but switched off, or written by a Mirvo installed elsewhere: enabling rewrites it.
    return startsThisMirvo && !entry->hidden && !entry->switchedOff ? Status::enabled
                                                                    : Status::disabled;
}

bool SystemLoginItem::isEnabled() const {
    return status() == Status::enabled;
}

bool SystemLoginItem::setEnabled(bool enabled) {
    const Status current = status();
    if (enabled == (current == Status::enabled))
        return true;
    const auto failed = [enabled](const QString& why) {
        mirvoLog(QStringLiteral("[Mirvo] LoginItem.setEnabled(") + boolText(enabled) +
                     QStringLiteral(") failed: ") + why,
                 LogLevel::warning);
        return false;
    };
    const QString path = entryPath();
    if (current == Status::foreign)
        return failed(path + QStringLiteral(" belongs to another program"));
    if (!enabled) {
        QFile file(path);
        return file.remove() ? true : failed(file.errorString());
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return failed(QStringLiteral("cannot create ") + QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return failed(file.errorString());
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Mirvo\n"
                                         "Comment=Push-to-talk dictation\n"
                                         "Exec=%1\n"
                                         "Icon=mirvo\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n"
                                         "%2=true\n")
                              .arg(execValue(executable_), markerKey);
    file.write(entry.toUtf8());
    return file.commit() ? true : failed(file.errorString());
}
