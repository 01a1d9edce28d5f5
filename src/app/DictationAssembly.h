#pragma once

#include "core/MirvoConfig.h"
#include "core/ServiceConfig.h"
#include "core/Transcriber.h"

#include <QString>

#include <memory>
#include <optional>

class DictationCoordinator;
class DictationFormatter;
class DictationHistory;
class HotkeyCommands;
class PlatformServices;
class ProxyClient;
class ServiceClient;
class UserDefaults;
struct LaunchOptions;

// The one place that chooses the dictation components.

// The OpenAI-compatible services of the user's settings, each with its key.
struct Services {
    std::optional<ServiceConfig> config;
    std::shared_ptr<ServiceClient> transcription;
    std::shared_ptr<ServiceClient> polish;
};

// The services `path` names, with their keys (read at once: a keyring that asks to be unlocked
// asks at launch, not during the first dictation); none when the file is missing or invalid.
// `loopbackOnly`: every service must be on 127.0.0.1 (tests), or none is used.
Services makeServices(PlatformServices& platform, const QString& path, bool loopbackOnly);

// What a dictation's services are: the proxy's targets (its configuration and client) or an
// OpenAI-compatible transcription service, and the written-text rules for every transcript.
// `transcription` wins over the proxy when both are set.
struct TranscriberChoice {
    std::optional<MirvoConfig> config;
    std::shared_ptr<ProxyClient> client;
    std::shared_ptr<ServiceClient> transcription;
    // The user's vocabulary for the service's prompt; read at every dictation.
    std::function<QStringList()> vocabulary;
    // The rules as they stand at the moment (the vocabulary may have changed); unset: words
    // as heard.
    std::function<DictationFormatter()> writing;
    double serviceWaitSeconds = ::serviceWaitSeconds;
    // Whether the service is switched on (the tray's choice); read at every dictation.
    std::function<bool()> serviceOn;
};

// Makes every dictation's transcriber: on-device for "en-US" with the recent transcripts as
// contextual strings, wrapped with a cloud transcriber when the configuration enables cloud
// transcription and resolves at least one target. `timing` is for tests.
TranscriberFactory makeTranscriberFactory(std::optional<MirvoConfig> config,
                                          std::shared_ptr<ProxyClient> client,
                                          SpeechRecognizerProvider recognizers,
                                          SFTranscriber::Timing timing = {});
TranscriberFactory makeTranscriberFactory(TranscriberChoice choice,
                                          SpeechRecognizerProvider recognizers,
                                          SFTranscriber::Timing timing = {});

// The user's recognition settings; an unknown profile is logged and the default used.
RecognitionSettings recognitionSettings(const UserDefaults& defaults);

// Builds a coordinator from the platform's components, chosen by the launch options: test mode
// drives it with signals, a file or the microphone and the clipboard alone; normal mode with the
// hold key (user default "ai.mirvo.hotkey"), the microphone, pasting, and the configuration
// files. Either way `commands` (may be null) drive the hold key as well; where the platform
// cannot watch the key they are its only source. Starts nothing.
std::shared_ptr<DictationCoordinator>
makeDictationCoordinator(PlatformServices& platform, const LaunchOptions& options,
                         UserDefaults& defaults, HotkeyCommands* commands = nullptr,
                         std::shared_ptr<DictationHistory> history = nullptr);
