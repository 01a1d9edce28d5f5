#pragma once

#include <QCoro/QCoroTask>
#include <QString>

// The desktop's store of secrets (the Secret Service: GNOME Keyring, KWallet), where Mirvo keeps
// the keys of the speech services by name.
class SecretStore {
public:
    struct Answer {
        enum class Kind {
            done,        // read (the secret is in `secret`), written or removed
            missing,     // nothing is stored under the name
            unavailable, // no store answers, or it refused: `problem` says why
        };
        Kind kind = Kind::done;
        QString secret;
        QString problem;
    };

    virtual ~SecretStore() = default;
    virtual QCoro::Task<Answer> read(QString name) = 0;
    virtual QCoro::Task<Answer> write(QString name, QString secret) = 0;
    virtual QCoro::Task<Answer> remove(QString name) = 0;
};
