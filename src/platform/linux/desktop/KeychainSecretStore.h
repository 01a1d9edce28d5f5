#pragma once

#include "platform/SecretStore.h"
#include "platform/linux/system/LinuxOnly.h"

// The Secret Service of the session bus (GNOME Keyring, KWallet) through QtKeychain, under the
// service name "Mirvo".
class KeychainSecretStore final : public SecretStore {
public:
    QCoro::Task<Answer> read(QString name) override;
    QCoro::Task<Answer> write(QString name, QString secret) override;
    QCoro::Task<Answer> remove(QString name) override;
};
