#pragma once

#include "MirvoConfig.h"
#include "PCMAccumulator.h"
#include "Transcriber.h"

#include <functional>
#include <memory>
#include <vector>

class ProxyClient;

// Sends the whole recording to a transcription service once the dictation is over, trying the
// targets in order until one returns text.
class CloudTranscriber final : public Transcriber {
public:
    static constexpr size_t minFramesToUpload = 8000; // half a second at 16 kHz
    // Said when every target failed.
    static inline const QString failedMessage = QStringLiteral("the speech service failed");

    // One place the recording can go: the model the log names, and the upload of a WAV image.
    struct Target {
        QString model;
        std::function<QCoro::Task<QString>(QByteArray wav)> upload;
    };

    // The proxy service's targets.
    CloudTranscriber(std::shared_ptr<ProxyClient> client, QList<TranscribeTarget> targets);
    explicit CloudTranscriber(std::vector<Target> targets);

    void start() override;
    void append(const AudioBufferPtr& buffer) override;
    QCoro::Task<QString> finish() override;
    // failedMessage when a target failed and none answered.
    QString shortfall() const override;
    bool heardSound() const override;

private:
    const std::vector<Target> targets_;
    PCMAccumulator accumulator_;
    bool failed_ = false;
};
