#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/HTTPSession.h"

#include <memory>

class QNetworkAccessManager;

// HTTP and HTTPS over QNetworkAccessManager. Main thread only; redirects are followed where the
// request allows.
class NetworkHTTPSession final : public HTTPSession {
public:
    NetworkHTTPSession();
    ~NetworkHTTPSession() override;

    QCoro::Task<HTTPResponse> data(HTTPRequest request) override;

private:
    std::unique_ptr<QNetworkAccessManager> manager_;
};
