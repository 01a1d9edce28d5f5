#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// One transcription target of the proxy service: a path below the base URL and a model name.
struct TranscribeTarget {
    QString path;
    QString model;
    bool operator==(const TranscribeTarget&) const = default;
};

// The optional, hand-edited configuration file that switches on the proxy service. Mirvo only
// reads it. Decoding is strict: every required key present, not null and of the right type, or
// the whole file is rejected; optional keys may be absent or null; unknown keys are ignored.
struct MirvoConfig {
    QString proxyBaseURL;
    QString proxyKey;
    QString clientId;
    std::optional<QList<TranscribeTarget>> transcribeTargets;
    std::optional<QString> transcribePath;
    std::optional<QString> transcribeModel;
    QString chatPath;
    QString polishModel;
    bool enableCloudTranscription = false;
    bool enablePolish = false;

    // <application support>/Mirvo/config.json: ~/.config/Mirvo/config.json on Linux.
    static QString defaultPath(const QString& configDirectory);
    // Reads and decodes the file; absent when it is missing or invalid. Never throws; every
    // outcome is logged.
    static std::optional<MirvoConfig> load(const QString& path);
    // Throws DecodingError naming the offending key and types, never a value.
    static MirvoConfig decode(const QByteArray& json);

    // The targets to try, in order: transcribeTargets when it has entries, otherwise the one
    // target of transcribePath and transcribeModel when both are present, otherwise none.
    // Empty when cloud transcription is off.
    QList<TranscribeTarget> resolvedTargets() const;
};
