// Arbitrary bytes as a line from another launch: a known command or nothing.
#include "platform/linux/desktop/LocalSocketInstance.h"

#include <QStringList>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto command = LocalSocketInstance::parseCommand(
        QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    static const QStringList known = {SingleInstance::openCommand, SingleInstance::holdCommand,
                                      SingleInstance::releaseCommand,
                                      SingleInstance::toggleCommand};
    if (command && !known.contains(command->name))
        std::abort();
    return 0;
}
