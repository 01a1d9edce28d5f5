#pragma once

#include "platform/UserDefaults.h"

#include <QSettings>

// User defaults in an INI file: ~/.config/Mirvo/defaults.conf ($XDG_CONFIG_HOME), or `path`.
class SettingsUserDefaults final : public UserDefaults {
public:
    explicit SettingsUserDefaults(const QString& path = {});

    bool boolForKey(const QString& key) const override;
    QString stringForKey(const QString& key) const override;
    void setValue(const QString& key, const QVariant& value) override;
    void removeValue(const QString& key) override;

private:
    mutable QSettings settings_;
};
