#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>

// What the process was launched with, read once at the entry and handed down. A flag counts as
// set only when its variable holds exactly "1".
struct LaunchOptions {
    // "MIRVO_TEST_MODE": signals instead of the key, the clipboard instead of pasting, no
    // configuration.
    bool testMode = false;
    // "MIRVO_TEST_AUDIO": in test mode, the file to dictate instead of the microphone.
    std::optional<QString> testAudio;
    // "MIRVO_FORCE_ONBOARDING": show the setup checklist even when it was completed.
    bool forceOnboarding = false;
    // "MIRVO_LOG_TRANSCRIPTS": log lines carry the dictated words, not only their length (test
    // mode always does).
    bool logTranscripts = false;
    // "MIRVO_UPDATE_MANIFEST_URL": for tests, the release manifest on a loopback server; only
    // http://127.0.0.1:PORT/… is accepted (the application checks).
    std::optional<QString> manifestURL;
    // "MIRVO_TEST_SERVICES": in test mode, a services file to use (tests and figures; its
    // services must be on this computer).
    std::optional<QString> testServices;
    // The command line after the program's name (mirvo: URLs, for one).
    QStringList arguments;

    static LaunchOptions fromEnvironment(const QProcessEnvironment& environment) {
        const auto isSet = [&](const char* name) {
            return environment.value(QLatin1String(name)) == QLatin1String("1");
        };
        LaunchOptions options;
        options.testMode = isSet("MIRVO_TEST_MODE");
        options.forceOnboarding = isSet("MIRVO_FORCE_ONBOARDING");
        options.logTranscripts = options.testMode || isSet("MIRVO_LOG_TRANSCRIPTS");
        if (environment.contains(QStringLiteral("MIRVO_TEST_AUDIO")))
            options.testAudio = environment.value(QStringLiteral("MIRVO_TEST_AUDIO"));
        if (options.testMode && environment.contains(QStringLiteral("MIRVO_TEST_SERVICES")))
            options.testServices = environment.value(QStringLiteral("MIRVO_TEST_SERVICES"));
        if (environment.contains(QStringLiteral("MIRVO_UPDATE_MANIFEST_URL")))
            options.manifestURL = environment.value(QStringLiteral("MIRVO_UPDATE_MANIFEST_URL"));
        return options;
    }
};

// A URL given to Mirvo (on the command line or by another launch): any that parses and has a
// scheme; none for anything else.
inline std::optional<QUrl> launchURL(const QString& argument) {
    const QUrl url(argument, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return std::nullopt;
    return url;
}
