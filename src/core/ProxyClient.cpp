#include "ProxyClient.h"

#include "MultipartForm.h"
#include "common/JSONDecoding.h"
#include "common/Log.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

namespace {

// Request URLs are the base and the path concatenated as they are.
std::optional<QUrl> parseURL(const QString& string) {
    if (string.isEmpty())
        return std::nullopt;
    QUrl url(string, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    return url;
}

// A POST to the proxy: base and path concatenated as they are, our two headers in place.
HTTPRequest proxyRequest(const MirvoConfig& config, const QString& path, const char* which,
                         double idleSeconds, double totalSeconds) {
    const QString urlString = config.proxyBaseURL + path;
    const std::optional<QUrl> url = parseURL(urlString);
    if (!url)
        throw ProxyClient::ClientError(QLatin1String(which) + QStringLiteral(" URL invalid: ") +
                                       urlString);
    HTTPRequest request;
    request.url = *url;
    request.method = "POST";
    request.timeoutSeconds = idleSeconds;
    request.totalTimeoutSeconds = totalSeconds;
    request.maxBodyBytes = ProxyClient::maxAnswerBytes;
    request.followRedirects = false;
    request.headers = {{"x-proxy-key", config.proxyKey.toUtf8()},
                       {"x-client-id", config.clientId.toUtf8()}};
    return request;
}

} // namespace

QCoro::Task<HTTPResponse> ProxyClient::exchange(HTTPSession& session, HTTPRequest request,
                                                QString label) {
    const double totalSeconds = request.totalTimeoutSeconds;
    QElapsedTimer clock;
    clock.start();
    QString failure;
    try {
        co_return co_await session.data(std::move(request));
    } catch (const MirvoError& e) {
        if (e.is(MirvoError::Kind::answerTooLarge))
            failure =
                QStringLiteral("answer larger than %1 MiB").arg(ProxyClient::maxAnswerBytes >> 20);
        // The transport says "timed out" for silence and for the whole; only the clock tells
        // (a coarse timer may end the exchange a little early).
        else if (e.is(MirvoError::Kind::timedOut) && totalSeconds > 0 &&
                 clock.elapsed() >= qint64(totalSeconds * 950))
            failure = QStringLiteral("no complete answer within %1 s").arg(totalSeconds);
        else
            throw;
    }
    throw ProxyClient::ClientError(label + QStringLiteral(": ") + failure);
}

ProxyClient::ProxyClient(MirvoConfig config, std::shared_ptr<HTTPSession> session, Limits limits)
    : config_(std::move(config)), session_(std::move(session)), limits_(limits) {}

std::optional<QString> ProxyClient::answerHead(const HTTPResponse& response) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(response.body.left(400));
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

void ProxyClient::ensure200(const HTTPResponse& response, const QString& label) {
    if (!response.isHTTP)
        throw ClientError(label + QStringLiteral(": non-HTTP response"));
    if (response.statusCode == 200)
        return;
    // A service may echo the request, and the message reaches the log: the body counts as
    // dictated text there.
    const std::optional<QString> head = answerHead(response);
    const QString snippet = head ? dictatedText(*head, false) : QStringLiteral("(non-utf8)");
    throw ClientError(label + QStringLiteral(": HTTP ") + QString::number(response.statusCode) +
                      QStringLiteral(": ") + snippet);
}

QCoro::Task<QString> ProxyClient::transcribe(QByteArray wav, TranscribeTarget target) {
    HTTPRequest request = proxyRequest(config_, target.path, "transcribe", limits_.idleSeconds,
                                       limits_.transcriptionSeconds);
    MultipartForm form;
    form.addField("model", target.model.toUtf8());
    form.addField("response_format", "json");
    form.addFile("file", "audio.wav", "audio/wav", wav);
    request.headers.append({"Content-Type", form.contentType()});
    request.body = form.finish();

    const QString label = QStringLiteral("transcribe[") + target.model + QLatin1Char(']');
    co_return transcriptionText(co_await exchange(*session_, std::move(request), label), label);
}

QString ProxyClient::transcriptionText(const HTTPResponse& response, const QString& label) {
    ensure200(response, label);
    return JSONObjectReader::parse(response.body).requireString(QStringLiteral("text"));
}

QCoro::Task<QString> ProxyClient::polish(QString rawText, QString systemPrompt) {
    HTTPRequest request =
        proxyRequest(config_, config_.chatPath, "chat", limits_.idleSeconds, limits_.polishSeconds);
    request.headers.prepend({"Content-Type", "application/json"});
    const QJsonObject payload{
        {QStringLiteral("model"), config_.polishModel},
        {QStringLiteral("messages"), chatMessages(systemPrompt, rawText)},
        {QStringLiteral("temperature"), 0.2},
    };
    request.body = QJsonDocument(payload).toJson(QJsonDocument::Compact);

    co_return chatContent(
        co_await exchange(*session_, std::move(request), QStringLiteral("polish")));
}

QJsonArray ProxyClient::chatMessages(const QString& systemPrompt, const QString& rawText) {
    return {QJsonObject{{QStringLiteral("role"), QStringLiteral("system")},
                        {QStringLiteral("content"), systemPrompt}},
            QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                        {QStringLiteral("content"), rawText}}};
}

QString ProxyClient::chatContent(const HTTPResponse& response) {
    ensure200(response, QStringLiteral("polish"));
    const JSONObjectReader answer = JSONObjectReader::parse(response.body);
    const QJsonArray choices = answer.requireArray(QStringLiteral("choices"));
    // Every choice must have the right shape, though only the first is used.
    QString first;
    for (int i = 0; i < choices.size(); ++i) {
        const QString content = answer.element(choices, QStringLiteral("choices"), i)
                                    .requireObject(QStringLiteral("message"))
                                    .requireString(QStringLiteral("content"));
        if (i == 0)
            first = content;
    }
    return first;
}
