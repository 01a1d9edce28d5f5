#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include <QString>

#include <cstdint>

// A keyboard that types the paste chord into the focused window through the compositor.
class ChordKeyboard {
public:
    virtual ~ChordKeyboard() = default;
    // Ctrl+V, or Ctrl+Shift+V; false when the compositor could not be reached.
    virtual bool typePasteChord(bool shift) = 0;
    // The protocol it types through, for the log.
    virtual QString protocol() const = 0;
};

// The keys the chord needs, by their evdev codes (the protocols'; XKB's are 8 more).
namespace ChordKeys {
inline constexpr uint32_t leftControl = 29;
inline constexpr uint32_t leftShift = 42;
inline constexpr uint32_t v = 47;
} // namespace ChordKeys
