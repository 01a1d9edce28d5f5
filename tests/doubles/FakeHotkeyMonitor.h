#pragma once

#include "mirvo/HotkeyMonitor.h"

#include <exception>

class FakeHotkeyMonitor final : public HotkeyMonitor {
    Q_OBJECT
public:
    void start() override {
        ++startCount;
        if (startError)
            std::rethrow_exception(startError);
    }
    void press() { emit events(HotkeyEvent::down); }
    void release() { emit events(HotkeyEvent::up); }

    int startCount = 0;
    std::exception_ptr startError;
};
