#include "CloudTranscriber.h"

#include "ProxyClient.h"
#include "common/Log.h"
#include "common/MirvoError.h"

#include <QElapsedTimer>

namespace {

std::vector<CloudTranscriber::Target> proxyTargets(const std::shared_ptr<ProxyClient>& client,
                                                   const QList<TranscribeTarget>& targets) {
    std::vector<CloudTranscriber::Target> list;
    for (const TranscribeTarget& target : targets)
        list.push_back({target.model, [client, target](QByteArray wav) {
                            return client->transcribe(std::move(wav), target);
                        }});
    return list;
}

} // namespace

CloudTranscriber::CloudTranscriber(std::shared_ptr<ProxyClient> client,
                                   QList<TranscribeTarget> targets)
    : CloudTranscriber(proxyTargets(client, targets)) {}

CloudTranscriber::CloudTranscriber(std::vector<Target> targets) : targets_(std::move(targets)) {}

void CloudTranscriber::start() {
    accumulator_.reset();
    failed_ = false;
}

QString CloudTranscriber::shortfall() const {
    return failed_ ? failedMessage : QString();
}

bool CloudTranscriber::heardSound() const {
    return accumulator_.roseAboveNoiseFloor();
}

void CloudTranscriber::append(const AudioBufferPtr& buffer) {
    accumulator_.append(buffer);
}

QCoro::Task<QString> CloudTranscriber::finish() {
    const size_t frames = accumulator_.sampleCount();
    if (frames < minFramesToUpload) {
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] cloud finish: only %1 frames, skipping upload")
                     .arg(frames));
        co_return QString();
    }
    if (targets_.empty()) {
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] cloud finish: no targets configured"));
        co_return QString();
    }
    const QByteArray wav = accumulator_.makeWAV();
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] cloud finish: uploading %1 bytes (%2 frames)")
                 .arg(wav.size())
                 .arg(frames));

    for (size_t i = 0; i < targets_.size(); ++i) {
        const Target& target = targets_[i];
        const QString label = QStringLiteral("target[%1] ").arg(i) + target.model;
        QElapsedTimer clock;
        clock.start();
        QString text;
        std::exception_ptr failure;
        try {
            text = co_await target.upload(wav);
        } catch (...) {
            failure = std::current_exception();
        }
        const QString elapsed =
            QString::number(double(clock.nsecsElapsed()) / 1e9, 'f', 2) + QLatin1Char('s');
        if (failure) {
            mirvoLog(QStringLiteral("[Mirvo/Transcriber] cloud %1 failed in %2: %3 — trying next")
                         .arg(label, elapsed, describeError(failure)),
                     LogLevel::warning);
            failed_ = true;
            continue;
        }
        if (text.trimmed().isEmpty()) {
            mirvoLog(
                QStringLiteral("[Mirvo/Transcriber] cloud %1 returned empty in %2, trying next")
                    .arg(label, elapsed));
            continue;
        }
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] cloud %1: %2 → %3 chars")
                     .arg(label, elapsed, QString::number(characterCount(text))));
        failed_ = false;
        co_return text;
    }
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] cloud finish: all %1 targets exhausted")
                 .arg(targets_.size()));
    co_return QString();
}
