#pragma once

#include "platform/SecretStore.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QSet>
#include <QString>

#include <memory>

// The speech services' keys, by name ("transcription", "polish"): in the desktop's keyring, or,
// where no keyring answers, in a key file in Mirvo's folder that the user alone may read, which
// the log names. Never in a log line. Main thread.
class ServiceKeys final {
public:
    // What storing or forgetting a key did, in a sentence for the user.
    struct Outcome {
        bool ok = false;
        QString message;
    };

    ServiceKeys(std::shared_ptr<SecretStore> store, QString folder);

    // The key stored under `name`, else the one under `otherwise` (a clean-up on the same
    // service as the transcription shares its key); empty when there is none. Read once, then
    // remembered.
    QCoro::Task<QString> key(QString name, QString otherwise = {});
    QCoro::Task<Outcome> store(QString name, QString key);
    QCoro::Task<Outcome> forget(QString name);

    // Mirvo's folder in the user's configuration folder, where the key files go.
    static QString defaultFolder(const QString& configDirectory);
    // <folder>/<name>.key
    QString keyFilePath(const QString& name) const;
    static bool isKnownName(const QString& name);

private:
    QCoro::Task<QString> storedKey(QString name);
    QString readKeyFile(const QString& name) const;

    const std::shared_ptr<SecretStore> store_;
    const QString folder_;
    QHash<QString, QString> known_;
    QSet<QString> reported_;
};
