#include "KeychainSecretStore.h"

#include <QCoro/QCoroSignal>
#include <qt6keychain/keychain.h>

namespace {

const QString serviceName = QStringLiteral("Mirvo");

// Runs `job` (deleted when done) and says how it went.
QCoro::Task<SecretStore::Answer> run(QKeychain::Job* job) {
    job->setAutoDelete(false);
    std::unique_ptr<QKeychain::Job> owned(job);
    job->start();
    co_await qCoro(job, &QKeychain::Job::finished);
    SecretStore::Answer answer;
    switch (job->error()) {
    case QKeychain::NoError:
        if (auto* reading = qobject_cast<QKeychain::ReadPasswordJob*>(job))
            answer.secret = reading->textData();
        break;
    case QKeychain::EntryNotFound:
        answer.kind = SecretStore::Answer::Kind::missing;
        break;
    default:
        answer.kind = SecretStore::Answer::Kind::unavailable;
        answer.problem = job->errorString();
        break;
    }
    co_return answer;
}

} // namespace

QCoro::Task<SecretStore::Answer> KeychainSecretStore::read(QString name) {
    auto* job = new QKeychain::ReadPasswordJob(serviceName);
    job->setKey(name);
    co_return co_await run(job);
}

QCoro::Task<SecretStore::Answer> KeychainSecretStore::write(QString name, QString secret) {
    auto* job = new QKeychain::WritePasswordJob(serviceName);
    job->setKey(name);
    job->setTextData(secret);
    co_return co_await run(job);
}

QCoro::Task<SecretStore::Answer> KeychainSecretStore::remove(QString name) {
    auto* job = new QKeychain::DeletePasswordJob(serviceName);
    job->setKey(name);
    SecretStore::Answer answer = co_await run(job);
    // Nothing to forget is forgotten.
    if (answer.kind == SecretStore::Answer::Kind::missing)
        answer.kind = SecretStore::Answer::Kind::done;
    co_return answer;
}
