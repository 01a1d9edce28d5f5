#pragma once

#include "core/ServiceConfig.h"

#include <QString>

#include <memory>
#include <optional>

class PlatformServices;
class ServiceClient;

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
