#pragma once

#include "MirvoConfig.h"
#include "Transcriber.h"

#include <functional>
#include <memory>
#include <optional>

class DictationFormatter;
class ProxyClient;
class ServiceClient;

// Runs the on-device and the cloud transcriber side by side and prefers the cloud's text. A
// recording that never rose above its noise floor, in which the device heard no word, is not
// sent: whisper-class models invent text on silence.
class HybridTranscriber final : public Transcriber {
public:
    // The written-text rules for the cloud's text.
    using WrittenRules = std::function<QString(const QString&)>;

    // The cloud's text is waited for at most `cloudWaitSeconds` after finish().
    HybridTranscriber(std::shared_ptr<Transcriber> local, std::shared_ptr<Transcriber> cloud,
                      double cloudWaitSeconds = serviceWaitSeconds, WrittenRules rules = {});

    void start() override;
    void append(const AudioBufferPtr& buffer) override;
    // Both finishes run at once; answers after both have completed.
    QCoro::Task<QString> finish() override;
    // The device's shortfall, or which text it was when the cloud failed or was late.
    QString shortfall() const override;

private:
    const std::shared_ptr<Transcriber> local_;
    const std::shared_ptr<Transcriber> cloud_;
    const double cloudWaitSeconds_;
    const WrittenRules rules_;
    bool usedLocal_ = false;
    QString fallbackNotice_;
};

// What a dictation's services are: the proxy's targets (its configuration and client) or an
// OpenAI-compatible transcription service, and the written-text rules for every transcript.
// `transcription` wins over the proxy when both are set.
struct TranscriberChoice {
    std::optional<MirvoConfig> config;
    std::shared_ptr<ProxyClient> client;
    std::shared_ptr<ServiceClient> transcription;
    // The user's vocabulary for the service's prompt; read at every dictation.
    std::function<QStringList()> vocabulary;
    // The rules as they stand at the moment (the vocabulary may have changed); unset: words
    // as heard.
    std::function<DictationFormatter()> writing;
    double serviceWaitSeconds = ::serviceWaitSeconds;
    // Whether the service is switched on (the tray's choice); read at every dictation.
    std::function<bool()> serviceOn;
};

// Makes every dictation's transcriber: on-device for "en-US" with the recent transcripts as
// contextual strings, wrapped with a cloud transcriber when the configuration enables cloud
// transcription and resolves at least one target. `timing` is for tests.
TranscriberFactory makeTranscriberFactory(std::optional<MirvoConfig> config,
                                          std::shared_ptr<ProxyClient> client,
                                          SpeechRecognizerProvider recognizers,
                                          SFTranscriber::Timing timing = {});
TranscriberFactory makeTranscriberFactory(TranscriberChoice choice,
                                          SpeechRecognizerProvider recognizers,
                                          SFTranscriber::Timing timing = {});
