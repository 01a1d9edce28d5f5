#pragma once

#include <QCoro/QCoroTask>
#include <QString>

#include <functional>
#include <memory>

// Rewrites a raw transcript. Never throws: on its own failure it returns the raw text.
class Polisher {
public:
    virtual ~Polisher() = default;
    virtual QCoro::Task<QString> polish(QString text) = 0;
};

// A chat-completion endpoint: the proxy's, or an OpenAI-compatible service's.
class ChatService {
public:
    virtual ~ChatService() = default;
    // The first choice's content, unchanged; empty when there is none. Throws on any failure.
    virtual QCoro::Task<QString> polish(QString rawText, QString systemPrompt) = 0;
};

// Polishes through a chat-completion endpoint with a fixed system prompt.
class LLMPolisher final : public Polisher {
public:
    // The prompt Mirvo sends: ten lines, 856 bytes of ASCII.
    static const QString systemPrompt;

    LLMPolisher(std::shared_ptr<ChatService> client, QString systemPrompt);
    QCoro::Task<QString> polish(QString text) override;

private:
    const std::shared_ptr<ChatService> client_;
    const QString systemPrompt_;
};

// The polisher of the moment, which the user can switch off (the tray's "on this computer") or
// change (the Settings window): without one the text stays as it is.
class SwitchedPolisher final : public Polisher {
public:
    explicit SwitchedPolisher(std::function<std::shared_ptr<Polisher>()> current);
    QCoro::Task<QString> polish(QString text) override;

private:
    const std::function<std::shared_ptr<Polisher>()> current_;
};
