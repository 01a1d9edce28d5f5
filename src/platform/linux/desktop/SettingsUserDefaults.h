#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/UserDefaults.h"

#include <QSettings>

// User defaults in the INI file at `path` (Mirvo uses ~/.config/Mirvo/defaults.conf).
class SettingsUserDefaults final : public UserDefaults {
public:
    explicit SettingsUserDefaults(const QString& path);

    bool boolForKey(const QString& key) const override;
    QString stringForKey(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;
    void removeValue(const QString& key) override;

private:
    mutable QSettings settings_;
};
