#include "SettingsUserDefaults.h"

SettingsUserDefaults::SettingsUserDefaults(const QString& path)
    : settings_(path, QSettings::IniFormat) {}

bool SettingsUserDefaults::boolForKey(const QString& key) const {
    return settings_.value(key, false).toBool();
}

QString SettingsUserDefaults::stringForKey(const QString& key) const {
    return settings_.value(key).toString();
}

void SettingsUserDefaults::setValue(const QString& key, const QVariant& value) {
    settings_.setValue(key, value);
    settings_.sync();
}

void SettingsUserDefaults::removeValue(const QString& key) {
    settings_.remove(key);
    settings_.sync();
}
