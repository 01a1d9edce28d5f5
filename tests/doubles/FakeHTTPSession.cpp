#include "FakeHTTPSession.h"

QCoro::Task<HTTPResponse> FakeHTTPSession::data(HTTPRequest request) {
    requests.append(request);
    const Step step = script.isEmpty() ? Step{{true, 200, "{}"}, {}} : script.takeFirst();
    if (step.error)
        std::rethrow_exception(step.error);
    co_return step.response;
}
