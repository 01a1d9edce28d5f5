#pragma once

#include "MirvoConfig.h"
#include "Transcriber.h"

#include <memory>
#include <optional>

class ProxyClient;

// Runs the on-device and the cloud transcriber side by side and prefers the cloud's text.
class HybridTranscriber final : public Transcriber {
public:
    // The cloud's text is waited for at most `cloudWaitSeconds` after finish().
    HybridTranscriber(std::shared_ptr<Transcriber> local, std::shared_ptr<Transcriber> cloud,
                      double cloudWaitSeconds = serviceWaitSeconds);

    void start() override;
    void append(const AudioBufferPtr& buffer) override;
    // Both finishes run at once; answers after both have completed.
    QCoro::Task<QString> finish() override;
    QString shortfall() const override;

private:
    const std::shared_ptr<Transcriber> local_;
    const std::shared_ptr<Transcriber> cloud_;
    const double cloudWaitSeconds_;
    bool usedLocal_ = false;
};

// Makes every dictation's transcriber: on-device for "en-US" with the recent transcripts as
// contextual strings, wrapped with a cloud transcriber when the configuration enables cloud
// transcription and resolves at least one target. `timing` is for tests.
TranscriberFactory makeTranscriberFactory(std::optional<MirvoConfig> config,
                                          std::shared_ptr<ProxyClient> client,
                                          SpeechRecognizerProvider recognizers,
                                          SFTranscriber::Timing timing = {});
