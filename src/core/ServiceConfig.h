#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

// One OpenAI-compatible service: where requests go, the model they name and, for
// transcription, the language of the speech.
struct ServiceEndpoint {
    // The endpoint itself (".../audio/transcriptions", "/inference", ".../chat/completions").
    QUrl url;
    QString model;
    // Empty: the service detects it.
    QString language;
    // Plain http to this computer: a key may go along.
    bool keyAllowed = true;

    // "whisper-large-v3-turbo via api.groq.com"
    QString displayName() const;
};

// The optional, hand-edited ~/.config/Mirvo/services.json that points Mirvo at an
// OpenAI-compatible transcription service, a chat service for the clean-up, or both. Decoded as
// strictly as the proxy's file; the keys are never in it (the keyring holds them).
struct ServiceConfig {
    std::optional<ServiceEndpoint> transcription;
    std::optional<ServiceEndpoint> polish;
    // How long after release a dictation waits for the services before the on-device text is
    // used.
    double fallbackSeconds = defaultFallbackSeconds;

    // Groq and OpenAI answer a short dictation in 0.5–2 s and a clean-up in about 1 s; six
    // seconds leave room for one retry after a brief 429 while a user still waits less than it
    // takes to dictate again.
    static constexpr double defaultFallbackSeconds = 6;

    static QString defaultPath(const QString& configDirectory);
    // Absent when the file is missing or invalid; every outcome is logged.
    static std::optional<ServiceConfig> load(const QString& path);
    // Throws DecodingError naming the offending key, never a value.
    static ServiceConfig decode(const QByteArray& json);
    // Names the transcription service in the file at `path`, keeping what else it holds; an
    // empty `url` takes the service out. Why it could not, in a sentence; empty when done.
    static QString storeTranscription(const QString& path, const QString& url,
                                      const QString& model);
};
