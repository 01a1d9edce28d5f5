#include "SingleInstance.h"

#include <cstdio>

int sendCommand(SingleInstance& instance, const QString& command) {
    const char* problem = nullptr;
    switch (instance.deliver(command)) {
    case SingleInstance::Delivery::delivered:
        return 0;
    case SingleInstance::Delivery::noInstance:
        problem = "Mirvo is not running";
        break;
    case SingleInstance::Delivery::refused:
        problem = "the running Mirvo does not know this command";
        break;
    case SingleInstance::Delivery::unanswered:
        problem = "the running Mirvo did not answer";
        break;
    }
    std::fprintf(stderr, "mirvo: --%s: %s\n", qPrintable(command), problem);
    return 1;
}
