// Arbitrary answers of the proxy: the first byte picks transcription or chat, the next two the
// status code, the rest is the body. Text, or a ClientError or DecodingError, never more. The
// body is also a service's error answer and a service's transcript for the written-text rules.
#include "common/JSONDecoding.h"
#include "core/DictationFormatter.h"
#include "core/ProxyClient.h"
#include "core/ServiceClient.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    HTTPResponse response;
    response.isHTTP = (data[0] & 2) == 0;
    response.statusCode = (data[1] << 8 | data[2]) % 600;
    response.body = QByteArray(reinterpret_cast<const char*>(data + 3), qsizetype(size - 3));
    if (ServiceClient::errorText(response).contains(QLatin1Char('\n')))
        std::abort(); // one line
    DictationFormatter({true, {{QStringLiteral("k8s"), QStringLiteral("K8s")}}})
        .formatWritten(QString::fromUtf8(response.body));
    try {
        if (data[0] & 1)
            ProxyClient::chatContent(response);
        else
            ProxyClient::transcriptionText(response, QStringLiteral("transcribe[m]"));
        // Only an HTTP 200 answer gives text.
        if (!response.isHTTP || response.statusCode != 200)
            std::abort();
    } catch (const ProxyClient::ClientError&) {
    } catch (const DecodingError&) {
        if (response.statusCode != 200)
            std::abort(); // the status is judged before the body
    }
    return 0;
}
