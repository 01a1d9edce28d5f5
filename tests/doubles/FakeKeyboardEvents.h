#pragma once

#include "platform/KeyboardEvents.h"

#include <functional>

class FakeKeyboardEvents final : public KeyboardEvents {
public:
    void postPasteChord() override {
        ++chords;
        if (onChord)
            onChord();
    }
    int chords = 0;
    std::function<void()> onChord;
};
