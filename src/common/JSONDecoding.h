#pragma once

#include "MirvoError.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <exception>
#include <optional>

// Why a JSON document could not be decoded into a record. The message names the key path and
// the types involved, never a value, so secrets in the document cannot leak into logs.
class DecodingError final : public MessageError {
public:
    using MessageError::MessageError;
};

// Strict reading of one JSON object: required keys must be present, not null and of the right
// type; optional keys may be absent or null; unknown keys are ignored.
class JSONObjectReader final {
public:
    // `path` prefixes key names in messages, e.g. "transcribeTargets[1]".
    JSONObjectReader(QJsonObject object, QString path = {});

    // Parses `data` as a JSON object; throws DecodingError.
    static JSONObjectReader parse(const QByteArray& data);

    QString requireString(const QString& key) const;
    bool requireBool(const QString& key) const;
    QJsonArray requireArray(const QString& key) const;
    JSONObjectReader requireObject(const QString& key) const;
    std::optional<QString> optionalString(const QString& key) const;
    std::optional<QJsonArray> optionalArray(const QString& key) const;
    std::optional<JSONObjectReader> optionalObject(const QString& key) const;
    std::optional<bool> optionalBool(const QString& key) const;
    std::optional<double> optionalNumber(const QString& key) const;
    // A whole number that fits 64 bits.
    std::optional<qint64> optionalInteger(const QString& key) const;
    // The object at `index` of an array read from `key`.
    JSONObjectReader element(const QJsonArray& array, const QString& key, int index) const;

private:
    QJsonValue require(const QString& key, const char* expected) const;
    // The value at `key` unless it is absent or null; throws unless `is` holds for it.
    std::optional<QJsonValue> optionalValue(const QString& key, const char* expected,
                                            bool (QJsonValue::*is)() const) const;
    QString pathOf(const QString& key) const;
    [[noreturn]] void mismatch(const QString& key, const char* expected,
                               const QJsonValue& found) const;

    QJsonObject object_;
    QString path_;
};
