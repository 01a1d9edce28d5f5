#include "ServiceClient.h"

#include "MultipartForm.h"
#include "ProxyClient.h"
#include "common/JSONDecoding.h"
#include "common/Log.h"

#include <QCoro/QCoroTimer>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>

namespace {

constexpr qsizetype longestErrorText = 300;

// The wait a 429 or 5xx asks for, in seconds: retry-after-ms, retry-after in seconds or as a
// date; half a second when it names none.
double retryWait(const HTTPResponse& response) {
    bool ok = false;
    if (const double ms = response.header("retry-after-ms").toDouble(&ok); ok)
        return ms / 1000;
    const QByteArray after = response.header("retry-after").trimmed();
    if (const double seconds = after.toDouble(&ok); ok)
        return seconds;
    const QDateTime date = QDateTime::fromString(QString::fromLatin1(after), Qt::RFC2822Date);
    if (date.isValid())
        return std::max(0.0, QDateTime::currentDateTimeUtc().msecsTo(date) / 1000.0);
    return 0.5;
}

bool retryable(int status) {
    return status == 429 || status >= 500;
}

} // namespace

ServiceClient::ServiceClient(ServiceEndpoint endpoint, KeySource key,
                             std::shared_ptr<HTTPSession> session, ServiceLimits limits)
    : endpoint_(std::move(endpoint)), key_(std::move(key)), session_(std::move(session)),
      limits_(limits) {}

QString ServiceClient::errorText(const HTTPResponse& response) {
    // {"error":{"message":…}} (OpenAI, LocalAI), {"error":"…"} (whisper-server, Ollama),
    // {"detail":"…"} (speaches).
    const QJsonObject answer = QJsonDocument::fromJson(response.body).object();
    const QJsonValue error = answer.value(QStringLiteral("error"));
    QString text = error.isObject()
                       ? error.toObject().value(QStringLiteral("message")).toString()
                       : error.toString(answer.value(QStringLiteral("detail")).toString());
    if (text.isEmpty()) {
        // Not an error the server described: its body may echo the request, which counts as
        // dictated text.
        const std::optional<QString> head = ProxyClient::answerHead(response);
        return head ? dictatedText(head->simplified(), false) : QStringLiteral("(non-utf8)");
    }
    text = text.simplified();
    if (text.size() > longestErrorText)
        text = text.left(longestErrorText) + QChar(0x2026);
    return text;
}

HTTPRequest ServiceClient::request(QByteArray contentType, QByteArray body) const {
    HTTPRequest request;
    request.url = endpoint_.url;
    request.method = "POST";
    request.timeoutSeconds = limits_.idleSeconds;
    request.totalTimeoutSeconds = limits_.totalSeconds;
    request.maxBodyBytes = ProxyClient::maxAnswerBytes;
    request.followRedirects = false;
    request.headers = {{"Content-Type", contentType}};
    request.body = std::move(body);
    return request;
}

QCoro::Task<HTTPResponse> ServiceClient::send(HTTPRequest request, QString label, QString key) {
    if (!key.isEmpty() && endpoint_.keyAllowed)
        request.headers.append({"Authorization", "Bearer " + key.toUtf8()});
    HTTPResponse response = co_await ProxyClient::exchange(*session_, request, label);
    if (retryable(response.statusCode)) {
        const double wait = retryWait(response);
        if (wait <= limits_.longestRetryWait) {
            co_await QCoro::sleepFor(std::chrono::milliseconds(qint64(wait * 1000)));
            response = co_await ProxyClient::exchange(*session_, std::move(request), label);
        }
    }
    if (response.isHTTP && response.statusCode == 200)
        co_return response;
    QString failure;
    if (!response.isHTTP)
        failure = QStringLiteral("non-HTTP response");
    else if (response.statusCode >= 300 && response.statusCode < 400)
        failure = QStringLiteral("HTTP %1: redirected to %2, which Mirvo does not follow")
                      .arg(response.statusCode)
                      .arg(QString::fromLatin1(response.header("location")));
    else
        failure = QStringLiteral("HTTP %1: %2").arg(response.statusCode).arg(errorText(response));
    if (!key.isEmpty())
        failure.replace(key, QStringLiteral("(the key)"));
    throw ProxyClient::ClientError(label + QStringLiteral(": ") + failure);
}

QCoro::Task<QString> ServiceClient::transcribe(QByteArray wav, QString prompt) {
    MultipartForm form;
    form.addFile("file", "audio.wav", "audio/wav", wav);
    form.addField("model", endpoint_.model.toUtf8());
    if (!endpoint_.language.isEmpty())
        form.addField("language", endpoint_.language.toUtf8());
    if (!prompt.isEmpty())
        form.addField("prompt", prompt.toUtf8());
    form.addField("response_format", "json");
    const QByteArray type = form.contentType();
    HTTPRequest request = this->request(type, form.finish());
    const QString label = QStringLiteral("transcribe[") + endpoint_.model + QLatin1Char(']');
    const QString key = co_await key_();
    const HTTPResponse response = co_await send(std::move(request), label, key);
    // whisper-server serves its JSON as text/html: the body decides, not the type.
    co_return JSONObjectReader::parse(response.body).requireString(QStringLiteral("text"));
}

QCoro::Task<QString> ServiceClient::polish(QString rawText, QString systemPrompt) {
    const QString key = co_await key_();
    for (;;) {
        const bool withTemperature = !temperatureRefused_;
        QJsonObject payload{
            {QStringLiteral("model"), endpoint_.model},
            {QStringLiteral("messages"), ProxyClient::chatMessages(systemPrompt, rawText)},
            {QStringLiteral("stream"), false},
        };
        if (withTemperature)
            payload.insert(QStringLiteral("temperature"), 0.2);
        HTTPRequest request = this->request("application/json",
                                            QJsonDocument(payload).toJson(QJsonDocument::Compact));
        try {
            const HTTPResponse response =
                co_await send(std::move(request), QStringLiteral("polish"), key);
            const JSONObjectReader answer = JSONObjectReader::parse(response.body);
            const QJsonArray choices = answer.requireArray(QStringLiteral("choices"));
            if (choices.isEmpty())
                co_return QString();
            co_return answer.element(choices, QStringLiteral("choices"), 0)
                .requireObject(QStringLiteral("message"))
                .optionalString(QStringLiteral("content"))
                .value_or(QString());
        } catch (const ProxyClient::ClientError& e) {
            // Reasoning models take no temperature and say so with a 400 naming it.
            const bool refused = e.message().contains(QStringLiteral("HTTP 400")) &&
                                 e.message().contains(QStringLiteral("temperature"));
            if (!withTemperature || !refused)
                throw;
        }
        temperatureRefused_ = true;
        mirvoLog(QStringLiteral("[Mirvo/Polisher] %1 takes no temperature: sent without it from "
                                "now on")
                     .arg(endpoint_.model));
    }
}

int estimatedTokens(const QString& text) {
    int tokens = 0;
    int letters = 0;
    const auto endWord = [&] {
        tokens += (letters + 2) / 3;
        letters = 0;
    };
    for (const QChar c : text) {
        if (c.unicode() < 0x80 && c.isLetter()) {
            ++letters;
            continue;
        }
        endWord();
        if (c.isSpace())
            continue;
        tokens += c.unicode() < 0x80 ? 1 : int(QString(c).toUtf8().size());
    }
    endWord();
    return tokens;
}

QString transcriptionPrompt(const QStringList& vocabulary, const QString& lastTranscript,
                            int tokenBudget) {
    QStringList entries;
    int used = 0;
    for (const QString& entry : vocabulary) {
        const int cost = estimatedTokens(entry) + 1; // and its comma or period
        if (used + cost > tokenBudget)
            continue; // a shorter one further down may still fit
        entries.append(entry);
        used += cost;
    }
    QString prompt = entries.join(QStringLiteral(", "));
    if (!prompt.isEmpty())
        prompt += QLatin1Char('.');
    QStringList words = lastTranscript.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    QStringList tail;
    while (!words.isEmpty() && used + estimatedTokens(words.last()) <= tokenBudget) {
        used += estimatedTokens(words.last());
        tail.prepend(words.takeLast());
    }
    if (!tail.isEmpty())
        prompt +=
            (prompt.isEmpty() ? QString() : QStringLiteral(" ")) + tail.join(QLatin1Char(' '));
    return prompt;
}
