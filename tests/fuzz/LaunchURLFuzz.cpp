// Arbitrary text as a URL given to Mirvo: a URL with a scheme, or nothing.
#include "common/LaunchOptions.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto url =
        launchURL(QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (url && (!url->isValid() || url->scheme().isEmpty()))
        std::abort();
    return 0;
}
