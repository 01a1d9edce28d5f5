#pragma once

#include <QString>
#include <QVariant>

// Small persistent settings under "ai.mirvo." keys: on Linux an INI file,
// ~/.config/Mirvo/defaults.conf.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // False when the key is absent.
    virtual bool boolForKey(const QString& key) const = 0;
    // `absent` when the key is.
    bool boolForKeyOr(const QString& key, bool absent) const {
        return stringForKey(key).isEmpty() ? absent : boolForKey(key);
    }
    // Empty when the key is absent.
    virtual QString stringForKey(const QString& key) const = 0;
    virtual void setValue(const QString& key, const QVariant& value) = 0;
    virtual void removeValue(const QString& key) = 0;
};
