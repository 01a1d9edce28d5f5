#pragma once

#include "Polisher.h"
#include "ServiceConfig.h"
#include "platform/HTTPSession.h"

#include <QCoro/QCoroTask>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

struct ServiceLimits {
    // Silence of the server, and the whole exchange (an upload of two minutes of audio
    // included).
    double idleSeconds = 30;
    double totalSeconds = 120;
    // A 429 or 5xx is retried once, after the wait the server asks for when it is no longer
    // than this; a longer wait fails at once, so that the on-device text comes sooner.
    double longestRetryWait = ServiceConfig::defaultFallbackSeconds;
};

// A client of one OpenAI-compatible service (OpenAI, Groq, whisper.cpp's whisper-server,
// speaches, LocalAI, Ollama): the transcription upload and the chat completion, with a bearer
// key when the service has one. Redirects are never followed. Does not log except when a chat
// model refuses a field. Throws ProxyClient::ClientError with one readable line (the key masked
// out of it), or the transport's MirvoError.
class ServiceClient final : public ChatService {
public:
    // The key, read when the first request goes out; empty: none is sent.
    using KeySource = std::function<QCoro::Task<QString>()>;

    ServiceClient(ServiceEndpoint endpoint, KeySource key, std::shared_ptr<HTTPSession> session,
                  ServiceLimits limits = {});

    QCoro::Task<QString> transcribe(QByteArray wav, QString prompt);
    // The first choice's content; empty for a null or missing one.
    QCoro::Task<QString> polish(QString rawText, QString systemPrompt) override;

    const ServiceEndpoint& endpoint() const { return endpoint_; }

    // What the server said went wrong, in one line: the message of either error shape in use
    // ({"error":{"message"}}, {"error":"…"}, {"detail":"…"}), else the body's start.
    static QString errorText(const HTTPResponse& response);

private:
    QCoro::Task<HTTPResponse> send(HTTPRequest request, QString label, QString key);
    HTTPRequest request(QByteArray contentType, QByteArray body) const;

    const ServiceEndpoint endpoint_;
    const KeySource key_;
    const std::shared_ptr<HTTPSession> session_;
    const ServiceLimits limits_;
    // A reasoning model refused the temperature once: it is left out from then on.
    std::atomic<bool> temperatureRefused_ = false;
};

// The transcription prompt: the user's vocabulary (whole entries, in order, as many as fit),
// then as much of the end of the last transcript as fits, within the tokens whisper servers
// keep (they drop a longer prompt's start).
QString transcriptionPrompt(const QStringList& vocabulary, const QString& lastTranscript,
                            int tokenBudget = 224);
// Tokens `text` takes at most in a whisper tokenizer, counted generously: a token per three
// letters, per digit, per mark and per byte of a character outside ASCII.
int estimatedTokens(const QString& text);
