#pragma once

#include <functional>

// The two test-mode key signals of the process: SIGUSR1 is key down, SIGUSR2 key up. Until a
// source starts they keep their default disposition (they terminate the process).
class SignalSource {
public:
    enum class Signal { keyDown, keyUp };

    virtual ~SignalSource() = default;
    // Begins observing both signals. `handler` runs on the main thread, once for all signals of
    // one kind that arrived before it could run; never after the source is destroyed. Throws
    // MirvoError (system, with the errno) when the signals cannot be observed.
    virtual void start(std::function<void(Signal)> handler) = 0;
};
