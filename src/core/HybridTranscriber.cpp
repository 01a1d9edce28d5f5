#include "HybridTranscriber.h"

#include "CloudTranscriber.h"
#include "ProxyClient.h"
#include "common/Log.h"
#include "common/TaskDeadline.h"

HybridTranscriber::HybridTranscriber(std::shared_ptr<Transcriber> local,
                                     std::shared_ptr<Transcriber> cloud, double cloudWaitSeconds)
    : local_(std::move(local)), cloud_(std::move(cloud)), cloudWaitSeconds_(cloudWaitSeconds) {}

void HybridTranscriber::start() {
    local_->onWaitingForModel = onWaitingForModel;
    local_->start();
    cloud_->start();
}

void HybridTranscriber::append(const AudioBufferPtr& buffer) {
    local_->append(buffer);
    cloud_->append(buffer);
}

QCoro::Task<QString> HybridTranscriber::finish() {
    // Tasks start running when made: the local finish first, then the cloud one.
    QCoro::Task<QString> localFinish = local_->finish();
    const std::optional<QString> cloudAnswer =
        co_await withinSeconds(cloud_->finish(), cloudWaitSeconds_, cloud_);
    if (!cloudAnswer)
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] hybrid: no cloud answer within %1 s")
                     .arg(cloudWaitSeconds_),
                 LogLevel::warning);
    const QString cloudText = cloudAnswer.value_or(QString()).trimmed();
    if (!cloudText.isEmpty()) {
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] hybrid: using cloud result"));
        co_await std::move(localFinish); // its text is not used, but it runs to its end
        usedLocal_ = false;
        co_return cloudText;
    }
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] hybrid: cloud empty, falling back to local"));
    usedLocal_ = true;
    co_return co_await std::move(localFinish);
}

QString HybridTranscriber::shortfall() const {
    return usedLocal_ ? local_->shortfall() : QString();
}

TranscriberFactory makeTranscriberFactory(std::optional<MirvoConfig> config,
                                          std::shared_ptr<ProxyClient> client,
                                          SpeechRecognizerProvider recognizers,
                                          SFTranscriber::Timing timing) {
    return [config = std::move(config), client = std::move(client),
            recognizers = std::move(recognizers),
            timing = std::move(timing)](const QStringList& recent) -> std::shared_ptr<Transcriber> {
        auto local =
            std::make_shared<SFTranscriber>(QStringLiteral("en-US"), recent, recognizers, timing);
        if (client && config && config->enableCloudTranscription) {
            const QList<TranscribeTarget> targets = config->resolvedTargets();
            if (targets.isEmpty()) {
                mirvoLog(
                    QStringLiteral("[Mirvo] transcriber: local only (no cloud targets resolved)"));
                return local;
            }
            QStringList models;
            for (const TranscribeTarget& t : targets)
                models.append(t.model);
            mirvoLog(QStringLiteral("[Mirvo] transcriber: hybrid (local + cloud: %1)")
                         .arg(models.join(QStringLiteral(" → "))));
            return std::make_shared<HybridTranscriber>(
                local, std::make_shared<CloudTranscriber>(client, targets));
        }
        mirvoLog(QStringLiteral("[Mirvo] transcriber: local only"));
        return local;
    };
}
