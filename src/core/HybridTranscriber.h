#pragma once

#include "Transcriber.h"

#include <functional>
#include <memory>
#include <optional>

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
