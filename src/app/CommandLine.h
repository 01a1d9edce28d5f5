#pragma once

class PlatformServices;

// The process entry.
namespace Mirvo {
// Runs the application on `platform` as the command line asks: a command handed to the running
// Mirvo, a key stored, the services checked, or Mirvo itself, whose Qt event loop is the one
// main loop. Returns the process's exit status: 0 when it ends normally or handed its command
// to the running Mirvo, 1 without a desktop session, 2 for a command line it does not take.
int run(int argc, char** argv, PlatformServices& platform);
} // namespace Mirvo
