#pragma once

// Whether Mirvo may observe the keyboard and post keys: on X11, whether a display is reachable
// that offers XInput 2.2 and XTEST.
bool accessibilityIsProcessTrusted();
