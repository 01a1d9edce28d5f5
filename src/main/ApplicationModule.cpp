// Mirvo itself, loaded by the program when the command line asks for more than a command.
#include "app/CommandLine.h"
#include "platform/linux/LinuxPlatform.h"

extern "C" __attribute__((visibility("default"))) int mirvoRunApplication(int argc, char** argv) {
    LinuxPlatform platform;
    return Mirvo::run(argc, argv, platform);
}
