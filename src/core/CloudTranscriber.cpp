#include "CloudTranscriber.h"

#include "ProxyClient.h"
#include "common/Log.h"
#include "common/PlatformError.h"

#include <QElapsedTimer>

CloudTranscriber::CloudTranscriber(std::shared_ptr<ProxyClient> client,
                                   QList<TranscribeTarget> targets)
    : client_(std::move(client)), targets_(std::move(targets)) {}

void CloudTranscriber::start() {
    accumulator_.reset();
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
    if (targets_.isEmpty()) {
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] cloud finish: no targets configured"));
        co_return QString();
    }
    const QByteArray wav = accumulator_.makeWAV();
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] cloud finish: uploading %1 bytes (%2 frames)")
                 .arg(wav.size())
                 .arg(frames));

    for (qsizetype i = 0; i < targets_.size(); ++i) {
        const TranscribeTarget& target = targets_[i];
        const QString label = QStringLiteral("target[%1] ").arg(i) + target.model;
        QElapsedTimer clock;
        clock.start();
        QString text;
        std::exception_ptr failure;
        try {
            text = co_await client_->transcribe(wav, target);
        } catch (...) {
            failure = std::current_exception();
        }
        const QString elapsed =
            QString::number(double(clock.nsecsElapsed()) / 1e9, 'f', 2) + QLatin1Char('s');
        if (failure) {
            mirvoLog(QStringLiteral("[Mirvo/Transcriber] cloud %1 failed in %2: %3 — trying next")
                         .arg(label, elapsed, describeError(failure)),
                     LogLevel::warning);
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
        co_return text;
    }
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] cloud finish: all %1 targets exhausted")
                 .arg(targets_.size()));
    co_return QString();
}
