#include "JSONDecoding.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace {

const char* typeName(const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Null:
        return "null";
    case QJsonValue::Bool:
        return "a boolean";
    case QJsonValue::Double:
        return "a number";
    case QJsonValue::String:
        return "a string";
    case QJsonValue::Array:
        return "an array";
    case QJsonValue::Object:
        return "an object";
    case QJsonValue::Undefined:
        break;
    }
    return "nothing";
}

} // namespace

JSONObjectReader::JSONObjectReader(QJsonObject object, QString path)
    : object_(std::move(object)), path_(std::move(path)) {}

JSONObjectReader JSONObjectReader::parse(const QByteArray& data) {
    if (data.trimmed().isEmpty())
        throw DecodingError(QStringLiteral("the data is empty, not JSON"));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError)
        throw DecodingError(QStringLiteral("the data is not valid JSON (%1 at byte %2)")
                                .arg(error.errorString())
                                .arg(error.offset));
    if (!document.isObject())
        throw DecodingError(QStringLiteral("expected a JSON object at the top level, found %1")
                                .arg(QLatin1String(document.isArray() ? "an array" : "a value")));
    return JSONObjectReader(document.object());
}

QString JSONObjectReader::pathOf(const QString& key) const {
    return path_.isEmpty() ? key : path_ + QLatin1Char('.') + key;
}

void JSONObjectReader::mismatch(const QString& key, const char* expected,
                                const QJsonValue& found) const {
    throw DecodingError(
        QStringLiteral("key \"%1\" has the wrong type: expected %2, found %3")
            .arg(pathOf(key), QLatin1String(expected), QLatin1String(typeName(found))));
}

QJsonValue JSONObjectReader::require(const QString& key, const char* expected) const {
    if (!object_.contains(key))
        throw DecodingError(QStringLiteral("key \"%1\" not found").arg(pathOf(key)));
    const QJsonValue value = object_.value(key);
    if (value.isNull())
        throw DecodingError(QStringLiteral("key \"%1\" is null; expected %2")
                                .arg(pathOf(key), QLatin1String(expected)));
    return value;
}

QString JSONObjectReader::requireString(const QString& key) const {
    const QJsonValue v = require(key, "a string");
    if (!v.isString())
        mismatch(key, "a string", v);
    return v.toString();
}

bool JSONObjectReader::requireBool(const QString& key) const {
    const QJsonValue v = require(key, "a boolean");
    if (!v.isBool())
        mismatch(key, "a boolean", v);
    return v.toBool();
}

QJsonArray JSONObjectReader::requireArray(const QString& key) const {
    const QJsonValue v = require(key, "an array");
    if (!v.isArray())
        mismatch(key, "an array", v);
    return v.toArray();
}

JSONObjectReader JSONObjectReader::requireObject(const QString& key) const {
    const QJsonValue v = require(key, "an object");
    if (!v.isObject())
        mismatch(key, "an object", v);
    return JSONObjectReader(v.toObject(), pathOf(key));
}

std::optional<QJsonValue> JSONObjectReader::optionalValue(const QString& key, const char* expected,
                                                          bool (QJsonValue::*is)() const) const {
    const QJsonValue v = object_.value(key);
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    if (!(v.*is)())
        mismatch(key, expected, v);
    return v;
}

std::optional<QString> JSONObjectReader::optionalString(const QString& key) const {
    const auto v = optionalValue(key, "a string", &QJsonValue::isString);
    return v ? std::optional(v->toString()) : std::nullopt;
}

std::optional<QJsonArray> JSONObjectReader::optionalArray(const QString& key) const {
    const auto v = optionalValue(key, "an array", &QJsonValue::isArray);
    return v ? std::optional(v->toArray()) : std::nullopt;
}

std::optional<JSONObjectReader> JSONObjectReader::optionalObject(const QString& key) const {
    const auto v = optionalValue(key, "an object", &QJsonValue::isObject);
    return v ? std::optional(JSONObjectReader(v->toObject(), pathOf(key))) : std::nullopt;
}

std::optional<bool> JSONObjectReader::optionalBool(const QString& key) const {
    const auto v = optionalValue(key, "a boolean", &QJsonValue::isBool);
    return v ? std::optional(v->toBool()) : std::nullopt;
}

std::optional<double> JSONObjectReader::optionalNumber(const QString& key) const {
    const auto v = optionalValue(key, "a number", &QJsonValue::isDouble);
    return v ? std::optional(v->toDouble()) : std::nullopt;
}

std::optional<qint64> JSONObjectReader::optionalInteger(const QString& key) const {
    const QJsonValue v = object_.value(key);
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    // toInteger() answers its fallback for a fraction or a number out of range.
    if (!v.isDouble() || v.toInteger(0) != v.toInteger(1))
        mismatch(key, "an integer", v);
    return v.toInteger();
}

JSONObjectReader JSONObjectReader::element(const QJsonArray& array, const QString& key,
                                           int index) const {
    const QString path = pathOf(key) + QLatin1Char('[') + QString::number(index) + QLatin1Char(']');
    const QJsonValue v = array.at(index);
    if (!v.isObject())
        throw DecodingError(
            QStringLiteral("\"%1\" has the wrong type: expected an object, found %2")
                .arg(path, QLatin1String(typeName(v))));
    return JSONObjectReader(v.toObject(), path);
}
