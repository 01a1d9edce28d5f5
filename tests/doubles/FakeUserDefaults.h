#pragma once

#include "platform/UserDefaults.h"

#include <QVariantMap>

class FakeUserDefaults final : public UserDefaults {
public:
    bool boolForKey(const QString& key) const override { return values.value(key).toBool(); }
    QString stringForKey(const QString& key) const override { return values.value(key).toString(); }
    void setValue(const QString& key, const QVariant& value) override { values[key] = value; }
    void removeValue(const QString& key) override { values.remove(key); }
    QVariantMap values;
};
