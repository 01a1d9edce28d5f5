#pragma once

#include "MirvoConfig.h"
#include "Polisher.h"
#include "common/MirvoError.h"
#include "platform/HTTPSession.h"

#include <QCoro/QCoroTask>
#include <QJsonArray>

#include <exception>
#include <memory>
#include <optional>

// How long a proxy request may take: `idle` bounds its silence, the others the whole exchange
// (a service that drips its answer must not hold a dictation for ever).
struct ProxyLimits {
    double idleSeconds = 60;
    double transcriptionSeconds = 120;
    double polishSeconds = 30;
};

// Mirvo's only client of the proxy service: uploads a recording for transcription and sends
// chat-completion requests. Holds no mutable state; calls may overlap. Does not log.
class ProxyClient final : public ChatService {
public:
    // A failure of the proxy exchange itself; its printed form is the message.
    class ClientError final : public MessageError {
    public:
        using MessageError::MessageError;
    };

    using Limits = ProxyLimits;

    ProxyClient(MirvoConfig config, std::shared_ptr<HTTPSession> session, Limits limits = {});

    // The "text" of the service's answer, unchanged. Throws ClientError (a status other than
    // 200, redirects included, which are never followed: they would take the key and the audio
    // elsewhere; an answer over the size or time limit), the transport's MirvoError, or
    // DecodingError.
    QCoro::Task<QString> transcribe(QByteArray wav, TranscribeTarget target);
    // The first choice's content, unchanged, or empty when there is none. Throws as above.
    QCoro::Task<QString> polish(QString rawText, QString systemPrompt) override;

    // The first 400 bytes of the answer as text; none when they are not UTF-8 (a cut inside a
    // character included).
    static std::optional<QString> answerHead(const HTTPResponse& response);
    // Throws ClientError unless the response is HTTP with status 200 exactly.
    static void ensure200(const HTTPResponse& response, const QString& label);
    // What the service answered: the transcription's "text", the chat's first choice. Throw
    // ClientError or DecodingError as the calls above do.
    static QString transcriptionText(const HTTPResponse& response, const QString& label);
    static QString chatContent(const HTTPResponse& response);

    // A chat completion's messages: the system prompt, then the user's text.
    static QJsonArray chatMessages(const QString& systemPrompt, const QString& rawText);
    // `request` through `session`; an answer over the request's size or time limit becomes a
    // ClientError under `label`, other transport failures propagate.
    static QCoro::Task<HTTPResponse> exchange(HTTPSession& session, HTTPRequest request,
                                              QString label);

    // No answer of the service is longer; a longer one ends the request with a ClientError.
    static constexpr qint64 maxAnswerBytes = 8 * 1024 * 1024;

private:
    const MirvoConfig config_;
    const std::shared_ptr<HTTPSession> session_;
    const Limits limits_;
};
