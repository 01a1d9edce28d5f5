#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

// In-process notifications by name, delivered synchronously to every observer.
class NotificationCenter final : public QObject {
    Q_OBJECT
public:
    void post(const QString& name, const QVariantMap& userInfo) { emit posted(name, userInfo); }

signals:
    void posted(const QString& name, const QVariantMap& userInfo);
};
