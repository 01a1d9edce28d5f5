#include "DictationHistory.h"

#include "common/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <utility>

namespace {

constexpr std::pair<PasteOutcome, const char*> outcomeNames[] = {
    {PasteOutcome::pasted, "pasted"},
    {PasteOutcome::copiedForUser, "copied"},
    {PasteOutcome::failed, "failed"},
    {PasteOutcome::noTarget, "no-target"},
};

QString nameOf(PasteOutcome outcome) {
    for (const auto& [value, name] : outcomeNames)
        if (value == outcome)
            return QLatin1String(name);
    return {};
}

std::optional<PasteOutcome> outcomeNamed(const QString& name) {
    for (const auto& [value, known] : outcomeNames)
        if (name == QLatin1String(known))
            return value;
    return std::nullopt;
}

QByteArray line(const DictationEntry& entry) {
    const QJsonObject object = {
        {QStringLiteral("text"), entry.text},
        {QStringLiteral("time"), entry.time.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("outcome"), nameOf(entry.outcome)},
        {QStringLiteral("application"), entry.application},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

std::optional<DictationEntry> entryOf(const QByteArray& line) {
    const QJsonDocument document = QJsonDocument::fromJson(line);
    const QJsonObject object = document.object();
    const QJsonValue text = object.value(QStringLiteral("text"));
    const QDateTime time =
        QDateTime::fromString(object.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
    const std::optional<PasteOutcome> outcome =
        outcomeNamed(object.value(QStringLiteral("outcome")).toString());
    if (!document.isObject() || !text.isString() || !time.isValid() || !outcome)
        return std::nullopt;
    return DictationEntry{text.toString(), time, *outcome,
                          object.value(QStringLiteral("application")).toString()};
}

} // namespace

DictationHistoryFile::DictationHistoryFile(QString path) : path_(std::move(path)) {}

QString DictationHistoryFile::defaultPath(const QString& stateDirectory) {
    return stateDirectory + QStringLiteral("/mirvo/history.jsonl");
}

QList<DictationEntry> DictationHistoryFile::read() const {
    QFile file(path_);
    if (!file.exists())
        return {};
    QList<DictationEntry> entries;
    int number = 0;
    bool damaged = !file.open(QIODevice::ReadOnly);
    while (!damaged && !file.atEnd()) {
        ++number;
        const std::optional<DictationEntry> entry = entryOf(file.readLine());
        damaged = !entry;
        if (entry)
            entries.prepend(*entry);
    }
    if (!damaged)
        return entries.mid(0, capacity);
    file.close();
    const QString aside = path_ + damagedSuffix;
    QFile::remove(aside);
    const bool moved = QFile::rename(path_, aside);
    mirvoLog(QStringLiteral("[Mirvo] recent dictations: %1 could not be read (line %2); %3")
                 .arg(path_, QString::number(number),
                      moved ? QStringLiteral("moved aside to ") + aside
                            : QStringLiteral("it could not be moved aside either")),
             LogLevel::warning);
    return {};
}

bool DictationHistoryFile::write(const QList<DictationEntry>& entries) const {
    const QString folder = QFileInfo(path_).absolutePath();
    QDir().mkpath(folder);
    // Only the user may look into what they dictated.
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QSaveFile file(path_);
    bool written = file.open(QIODevice::WriteOnly) &&
                   file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    const QList<DictationEntry> newest = entries.mid(0, capacity);
    for (auto it = newest.crbegin(); written && it != newest.crend(); ++it)
        written = file.write(line(*it)) >= 0;
    written = written && file.commit();
    if (!written)
        mirvoLog(QStringLiteral("[Mirvo] recent dictations could not be written to ") + path_ +
                     QStringLiteral(": ") + file.errorString(),
                 LogLevel::warning);
    return written;
}

void DictationHistoryFile::remove() const {
    QFile::remove(path_);
    QFile::remove(path_ + damagedSuffix);
}

DictationHistory::DictationHistory(std::optional<DictationHistoryFile> file, bool keep)
    : file_(std::move(file)), keep_(keep && file_) {
    if (keep_)
        kept_ = file_->read();
    else
        removeFile();
}

void DictationHistory::removeFile() {
    if (file_ && QFileInfo::exists(file_->path())) {
        // Kept from when the user wanted them kept; they no longer do.
        file_->remove();
        mirvoLog(QStringLiteral("[Mirvo] history file removed: keeping history is off"));
    }
}

void DictationHistory::setKeep(bool keep) {
    if (!file_ || keep == keep_)
        return;
    keep_ = keep;
    if (keep_)
        file_->write(kept_);
    else
        removeFile();
}

void DictationHistory::add(DictationEntry entry) {
    kept_.prepend(std::move(entry));
    const int limit = keep_ ? DictationHistoryFile::capacity : capacity;
    kept_.resize(std::min<qsizetype>(kept_.size(), limit));
    if (keep_)
        file_->write(kept_);
}

void DictationHistory::clear() {
    kept_.clear();
    if (file_)
        file_->remove();
    mirvoLog(QStringLiteral("[Mirvo] recent dictations cleared"));
}

std::optional<DictationEntry> DictationHistory::newest() const {
    if (kept_.isEmpty())
        return std::nullopt;
    return kept_.front();
}
