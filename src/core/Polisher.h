#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <memory>

// Rewrites a raw transcript. Never throws: on its own failure it returns the raw text.
class Polisher {
public:
    virtual ~Polisher() = default;
    virtual QCoro::Task<QString> polish(QString text) = 0;
};

class ProxyClient;

// Polishes through the proxy service's chat endpoint with a fixed system prompt.
class LLMPolisher final : public Polisher {
public:
    // The prompt Mirvo sends: ten lines, 856 bytes of ASCII.
    static const QString systemPrompt;

    LLMPolisher(std::shared_ptr<ProxyClient> client, QString systemPrompt);
    QCoro::Task<QString> polish(QString text) override;

private:
    const std::shared_ptr<ProxyClient> client_;
    const QString systemPrompt_;
};
