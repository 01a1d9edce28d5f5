#include "gui/MirvoApp.h"
#include "platform/linux/desktop/LinuxPlatform.h"

int main(int argc, char** argv) {
    LinuxPlatform platform;
    return Mirvo::run(argc, argv, platform);
}
