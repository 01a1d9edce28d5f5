// Arbitrary bytes as a line from another launch: a known command or nothing.
#include "platform/linux/LocalSocketInstance.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto command = LocalSocketInstance::parseCommand(
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (command && command->name != SingleInstance::openCommand)
        std::abort();
    return 0;
}
