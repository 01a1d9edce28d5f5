#include "ServiceKeys.h"

#include "UserFile.h"
#include "common/JSONDecoding.h"
#include "common/Log.h"
#include "platform/HTTPSession.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

SecretStore::Answer noStore() {
    return {
        SecretStore::Answer::Kind::unavailable, {}, QStringLiteral("this system has no keyring")};
}

} // namespace

ServiceKeys::ServiceKeys(std::shared_ptr<SecretStore> store, QString folder)
    : store_(std::move(store)), folder_(std::move(folder)) {}

QString ServiceKeys::defaultFolder(const QString& configDirectory) {
    return configDirectory + QStringLiteral("/Mirvo");
}

bool ServiceKeys::isKnownName(const QString& name) {
    return name == QLatin1String("transcription") || name == QLatin1String("polish");
}

QString ServiceKeys::keyFilePath(const QString& name) const {
    return folder_ + QLatin1Char('/') + name + QStringLiteral(".key");
}

QString ServiceKeys::readKeyFile(const QString& name) const {
    const QString path = keyFilePath(name);
    if (!QFileInfo::exists(path))
        return {};
    QString problem = unsafeUserFileProblem(path);
    if (problem.isEmpty() && othersMayRead(path))
        problem = QStringLiteral("other users can read it (chmod 600 it)");
    QString key;
    if (problem.isEmpty()) {
        try {
            key = QString::fromUtf8(readUserFile(path, 4096)).trimmed();
            if (!isHeaderValue(key))
                problem = QStringLiteral("it holds more than one line");
        } catch (const DecodingError& e) {
            problem = e.message();
        }
    }
    if (!problem.isEmpty()) {
        mirvoLog(QStringLiteral("[Mirvo/Service] not using the %1 key in %2: %3")
                     .arg(name, path, problem),
                 LogLevel::warning);
        return {};
    }
    if (!key.isEmpty())
        mirvoLog(QStringLiteral("[Mirvo/Service] %1 key: from %2").arg(name, path));
    return key;
}

QCoro::Task<QString> ServiceKeys::key(QString name, QString otherwise) {
    QString key = co_await storedKey(name);
    if (key.isEmpty() && !otherwise.isEmpty()) {
        key = co_await storedKey(otherwise);
        if (!key.isEmpty() && !reported_.contains(name))
            mirvoLog(QStringLiteral("[Mirvo/Service] %1 key: the %2 key (the same service)")
                         .arg(name, otherwise));
    }
    if (key.isEmpty() && !reported_.contains(name))
        mirvoLog(QStringLiteral("[Mirvo/Service] %1 key: none stored — requests go without one "
                                "(mirvo --set-key %1 stores one)")
                     .arg(name));
    reported_.insert(name);
    co_return key;
}

QCoro::Task<QString> ServiceKeys::storedKey(QString name) {
    if (const auto found = known_.constFind(name); found != known_.constEnd())
        co_return *found;
    QString key;
    const SecretStore::Answer answer = store_ ? co_await store_->read(name) : noStore();
    if (answer.kind == SecretStore::Answer::Kind::done && isHeaderValue(answer.secret)) {
        key = answer.secret;
        mirvoLog(QStringLiteral("[Mirvo/Service] %1 key: from the keyring").arg(name));
    } else {
        if (answer.kind == SecretStore::Answer::Kind::unavailable)
            mirvoLog(QStringLiteral("[Mirvo/Service] no keyring answers (%1) — looking for the "
                                    "%2 key in %3")
                         .arg(answer.problem, name, keyFilePath(name)),
                     LogLevel::warning);
        key = readKeyFile(name);
    }
    known_.insert(name, key);
    co_return key;
}

QCoro::Task<ServiceKeys::Outcome> ServiceKeys::store(QString name, QString key) {
    if (key.isEmpty() || !isHeaderValue(key))
        co_return Outcome{false, QStringLiteral("A key is one line of text; nothing was stored.")};
    const SecretStore::Answer answer = store_ ? co_await store_->write(name, key) : noStore();
    const QString path = keyFilePath(name);
    if (answer.kind == SecretStore::Answer::Kind::done) {
        known_.insert(name, key);
        // A plain copy left behind would outlive the one the user meant to replace.
        const bool hadFile = QFile::remove(path);
        co_return Outcome{true, QStringLiteral("The %1 key is in your keyring.%2")
                                    .arg(name, hadFile ? QStringLiteral(" The old key file %1 is "
                                                                        "deleted.")
                                                             .arg(path)
                                                       : QString())};
    }
    QDir().mkpath(folder_);
    QFile file(path);
    // Created for the user alone before the key is in it.
    QFile::remove(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner) ||
        file.write(key.toUtf8() + '\n') < 0 || !file.flush())
        co_return Outcome{false, QStringLiteral("No keyring answers (%1), and %2 cannot be "
                                                "written: %3. Nothing was stored.")
                                     .arg(answer.problem, path, file.errorString())};
    known_.insert(name, key);
    co_return Outcome{true, QStringLiteral("No keyring answers (%1): the %2 key is kept in %3, "
                                           "which only you can read. Start your desktop's keyring "
                                           "(GNOME Keyring, KWallet) and run this again to move it "
                                           "there.")
                                .arg(answer.problem, name, path)};
}

QCoro::Task<ServiceKeys::Outcome> ServiceKeys::forget(QString name) {
    const SecretStore::Answer answer = store_ ? co_await store_->remove(name) : noStore();
    const bool hadFile = QFile::remove(keyFilePath(name));
    known_.remove(name);
    if (answer.kind == SecretStore::Answer::Kind::unavailable && !hadFile)
        co_return Outcome{false, QStringLiteral("No keyring answers (%1); no key file either: "
                                                "nothing was removed.")
                                     .arg(answer.problem)};
    co_return Outcome{true, QStringLiteral("The %1 key is forgotten.").arg(name)};
}
