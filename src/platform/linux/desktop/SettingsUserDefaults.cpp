#include "SettingsUserDefaults.h"

#include "common/Log.h"

#include <QFile>

SettingsUserDefaults::SettingsUserDefaults(const QString& path)
    : settings_(path, QSettings::IniFormat) {
    if (settings_.status() == QSettings::NoError)
        return;
    // The next write would replace the file with what could be read of it: keep the original.
    const QString copy = path + QStringLiteral(".damaged");
    QFile::remove(copy);
    const bool kept = QFile::copy(path, copy);
    mirvoLog(QStringLiteral("[Mirvo] user defaults at %1 could not be read%2; settings that were "
                            "in it read as unset")
                 .arg(path, kept ? QStringLiteral(" (kept a copy at ") + copy + QLatin1Char(')')
                                 : QString()),
             LogLevel::warning);
}

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
