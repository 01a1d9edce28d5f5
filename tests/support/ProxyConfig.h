#pragma once

#include "core/MirvoConfig.h"

// A configuration for the proxy service at `base`: key "key-123", client "client-9", chat path
// "/v1/chat/completions", polish model "tidy-1", both features on, no targets.
inline MirvoConfig proxyConfig(const QString& base) {
    MirvoConfig c;
    c.proxyBaseURL = base;
    c.proxyKey = QStringLiteral("key-123");
    c.clientId = QStringLiteral("client-9");
    c.chatPath = QStringLiteral("/v1/chat/completions");
    c.polishModel = QStringLiteral("tidy-1");
    c.enableCloudTranscription = true;
    c.enablePolish = true;
    return c;
}
