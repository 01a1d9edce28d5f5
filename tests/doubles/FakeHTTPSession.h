#pragma once

#include "platform/HTTPSession.h"

#include <QList>

#include <exception>

// Records every request and answers with the next scripted response or error.
class FakeHTTPSession final : public HTTPSession {
public:
    struct Step {
        HTTPResponse response;
        std::exception_ptr error;
    };

    QCoro::Task<HTTPResponse> data(HTTPRequest request) override;

    void answer(int status, const QByteArray& body) {
        script.append(Step{HTTPResponse{true, status, body}, {}});
    }
    void fail(std::exception_ptr error) { script.append(Step{HTTPResponse{}, std::move(error)}); }

    QList<Step> script;
    QList<HTTPRequest> requests;
};
