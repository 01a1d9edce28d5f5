#pragma once

// Synthetic key presses into the focused application.
class KeyboardEvents {
public:
    virtual ~KeyboardEvents() = default;
    // Posts the platform's paste chord (key down, then up) to the focused window, unaffected by
    // modifier keys the user still holds.
    virtual void postPasteChord() = 0;
};
