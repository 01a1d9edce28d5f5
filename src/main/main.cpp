// The program the desktop runs. A key binding's `mirvo --hold` (and the other commands) is handed
// to the running Mirvo from here with Qt Core and Network alone loaded, so that a binding costs
// little more than a process start; anything else loads the application from its module and
// runs it in this process.
#include "platform/linux/desktop/LocalSocketInstance.h"

#include <QCoreApplication>

#include <dlfcn.h>
#include <libgen.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// Beside the program in a build, in the library folder once installed.
std::string applicationModule() {
    char self[PATH_MAX] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return "mirvo-app.so";
    const std::string dir = dirname(self);
    const std::string beside = dir + "/mirvo-app.so";
    return access(beside.c_str(), R_OK) == 0 ? beside
                                             : dir + "/" MIRVO_MODULE_FROM_PROGRAM "/mirvo-app.so";
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        const QString argument = QString::fromLocal8Bit(argv[1]);
        for (const QString& command : SingleInstance::launchCommands())
            if (argument == QLatin1String("--") + command) {
                QCoreApplication app(argc, argv);
                LocalSocketInstance instance;
                return sendCommand(instance, command);
            }
    }
    const std::string module = applicationModule();
    void* application = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto run =
        application
            ? reinterpret_cast<int (*)(int, char**)>(dlsym(application, "mirvoRunApplication"))
            : nullptr;
    if (!run) {
        std::fprintf(stderr, "mirvo: cannot load %s: %s\n", module.c_str(), dlerror());
        return 127;
    }
    return run(argc, argv);
}
