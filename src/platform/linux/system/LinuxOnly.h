#pragma once

// The Linux backend is reached only through PlatformServices: a core unit that includes one of
// its headers does not build.
#ifndef MIRVO_LINUX_BACKEND
#error "platform/linux/ is the Linux backend; the core reaches it through PlatformServices"
#endif
