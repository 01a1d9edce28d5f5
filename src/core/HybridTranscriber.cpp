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

TranscriberFactory makeTranscriberFactory(std::optional<MirvoConfig> config,
                                          std::shared_ptr<ProxyClient> client,
                                          SpeechRecognizerProvider recognizers,
                                          SFTranscriber::Timing timing) {
    TranscriberChoice choice;
    choice.config = std::move(config);
    choice.client = std::move(client);
    return makeTranscriberFactory(std::move(choice), std::move(recognizers), std::move(timing));
}

TranscriberFactory makeTranscriberFactory(TranscriberChoice choice,
                                          SpeechRecognizerProvider recognizers,
                                          SFTranscriber::Timing timing) {
    return [choice = std::move(choice), recognizers = std::move(recognizers),
            timing = std::move(timing)](const QStringList& recent) -> std::shared_ptr<Transcriber> {
        SFTranscriber::ResultWriter writer;
        HybridTranscriber::WrittenRules rules;
        if (const auto writing = choice.writing) {
            writer = [writing](const RecognitionResult& heard) { return writing().format(heard); };
            rules = [writing](const QString& text) { return writing().formatWritten(text); };
        }
        auto local = std::make_shared<SFTranscriber>(QStringLiteral("en-US"), recent, recognizers,
                                                     timing, writer);
        const auto hybrid = [&](std::shared_ptr<CloudTranscriber> cloud) {
            return std::make_shared<HybridTranscriber>(local, std::move(cloud),
                                                       choice.serviceWaitSeconds, rules);
        };
        if (choice.transcription && (!choice.serviceOn || choice.serviceOn())) {
            const std::shared_ptr<ServiceClient> service = choice.transcription;
            const QString prompt =
                transcriptionPrompt(choice.vocabulary ? choice.vocabulary() : QStringList(),
                                    recent.isEmpty() ? QString() : recent.last());
            mirvoLog(QStringLiteral("[Mirvo] transcriber: hybrid (local + ") +
                     service->endpoint().displayName() + QLatin1Char(')'));
            return hybrid(std::make_shared<CloudTranscriber>(std::vector<CloudTranscriber::Target>{
                {service->endpoint().model, [service, prompt](QByteArray wav) {
                     return service->transcribe(std::move(wav), prompt);
                 }}}));
        }
        if (choice.client && choice.config && choice.config->enableCloudTranscription) {
            const QList<TranscribeTarget> targets = choice.config->resolvedTargets();
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
            return hybrid(std::make_shared<CloudTranscriber>(choice.client, targets));
        }
        mirvoLog(QStringLiteral("[Mirvo] transcriber: local only"));
        return local;
    };
}
