#pragma once

#include "MirvoConfig.h"
#include "PCMAccumulator.h"
#include "Transcriber.h"

#include <memory>

class ProxyClient;

// Sends the whole recording to the proxy service once the dictation is over, trying the targets
// in order until one returns text.
class CloudTranscriber final : public Transcriber {
public:
    static constexpr size_t minFramesToUpload = 8000; // half a second at 16 kHz

    CloudTranscriber(std::shared_ptr<ProxyClient> client, QList<TranscribeTarget> targets);

    void start() override;
    void append(const AudioBufferPtr& buffer) override;
    QCoro::Task<QString> finish() override;

private:
    const std::shared_ptr<ProxyClient> client_;
    const QList<TranscribeTarget> targets_;
    PCMAccumulator accumulator_;
};
