#include "HybridTranscriber.h"

#include "CloudTranscriber.h"
#include "DictationFormatter.h"
#include "ProxyClient.h"
#include "ServiceClient.h"
#include "common/Log.h"
#include "common/TaskDeadline.h"

HybridTranscriber::HybridTranscriber(std::shared_ptr<Transcriber> local,
                                     std::shared_ptr<Transcriber> cloud, double cloudWaitSeconds,
                                     WrittenRules rules)
    : local_(std::move(local)), cloud_(std::move(cloud)), cloudWaitSeconds_(cloudWaitSeconds),
      rules_(std::move(rules)) {}

void HybridTranscriber::start() {
    local_->onWaitingForModel = onWaitingForModel;
    local_->onHeard = onHeard;
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
    std::optional<QString> localText;
    if (!cloud_->heardSound()) {
        localText = co_await std::move(localFinish);
        if (localText->trimmed().isEmpty()) {
            mirvoLog(QStringLiteral("[Mirvo/Transcriber] hybrid: nothing heard above the noise "
                                    "floor — not uploaded"));
            usedLocal_ = true;
            co_return *localText;
        }
    }
    const std::optional<QString> cloudAnswer =
        co_await withinSeconds(cloud_->finish(), cloudWaitSeconds_, cloud_);
    if (!cloudAnswer)
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] hybrid: no cloud answer within %1 s")
                     .arg(cloudWaitSeconds_),
                 LogLevel::warning);
    const QString cloudText = cloudAnswer.value_or(QString()).trimmed();
    if (!cloudText.isEmpty()) {
        mirvoLog(QStringLiteral("[Mirvo/Transcriber] hybrid: using cloud result"));
        if (!localText)
            co_await std::move(localFinish); // its text is not used, but it runs to its end
        usedLocal_ = false;
        co_return rules_ ? rules_(cloudText) : cloudText;
    }
    mirvoLog(QStringLiteral("[Mirvo/Transcriber] hybrid: cloud empty, falling back to local"));
    usedLocal_ = true;
    if (!cloudAnswer)
        fallbackNotice_ = QStringLiteral("On-device text: the speech service did not answer in "
                                         "time");
    else if (const QString failure = cloud_->shortfall(); !failure.isEmpty())
        fallbackNotice_ = QStringLiteral("On-device text: ") + failure;
    if (!localText)
        localText = co_await std::move(localFinish);
    co_return *localText;
}

QString HybridTranscriber::shortfall() const {
    if (!usedLocal_)
        return QString();
    const QString local = local_->shortfall();
    return local.isEmpty() ? fallbackNotice_ : local;
}
