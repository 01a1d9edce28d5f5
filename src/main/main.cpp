#include "mirvo/MirvoApp.h"
#include "platform/linux/LinuxPlatform.h"

int main(int argc, char** argv) {
    LinuxPlatform platform;
    return Mirvo::run(argc, argv, platform);
}
