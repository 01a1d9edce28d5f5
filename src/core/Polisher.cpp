#include "Polisher.h"

#include "common/Log.h"
#include "common/MirvoError.h"

#include <QElapsedTimer>

const QString LLMPolisher::systemPrompt = QStringLiteral(
    "You are a dictation post-processor. You will receive a raw speech-to-text transcript of a "
    "short dictation. Rewrite it into clean, polished text the user can paste directly into "
    "whatever app they were typing in.\n"
    "\n"
    "Rules:\n"
    "- Remove filler words: \"um\", \"uh\", \"like\", \"you know\", \"sort of\", \"kind of\", "
    "\"I mean\", trailing \"right?\".\n"
    "- Fix obvious mishearings when the correct word is clear from context (e.g. \"Neetu\" likely "
    "meant \"need to\"; \"their\" vs \"there\" vs \"they're\" from grammar).\n"
    "- Add proper punctuation, capitalization, and paragraph breaks if warranted.\n"
    "- Preserve the user's voice, word choice, and meaning. Do NOT paraphrase, summarize, or add "
    "content they didn't say.\n"
    "- Do NOT wrap the output in quotes, code blocks, or Markdown.\n"
    "- If the input is already clean, return it unchanged.\n"
    "- Respond with ONLY the polished text. No preamble, no commentary.");

LLMPolisher::LLMPolisher(std::shared_ptr<ChatService> client, QString systemPrompt)
    : client_(std::move(client)), systemPrompt_(std::move(systemPrompt)) {}

QCoro::Task<QString> LLMPolisher::polish(QString raw) {
    QElapsedTimer clock;
    clock.start();
    QString answer;
    try {
        answer = co_await client_->polish(raw, systemPrompt_);
    } catch (...) {
        mirvoLog(QStringLiteral("[Mirvo/Polisher] failed: %1 — returning raw")
                     .arg(describeError(std::current_exception())),
                 LogLevel::warning);
        co_return raw;
    }
    const QString trimmed = answer.trimmed();
    mirvoLog(QStringLiteral("[Mirvo/Polisher] polished in %1s")
                 .arg(double(clock.nsecsElapsed()) / 1e9, 0, 'f', 2));
    co_return trimmed.isEmpty() ? raw : trimmed;
}

SwitchedPolisher::SwitchedPolisher(std::function<std::shared_ptr<Polisher>()> current)
    : current_(std::move(current)) {}

QCoro::Task<QString> SwitchedPolisher::polish(QString text) {
    // Kept for the whole call: the settings may change meanwhile.
    const std::shared_ptr<Polisher> polisher = current_();
    if (!polisher)
        co_return text;
    co_return co_await polisher->polish(std::move(text));
}
