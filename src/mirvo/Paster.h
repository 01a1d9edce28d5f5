#pragma once

#include <QString>

// Delivers the final text of a dictation. Called on the main thread; never fails.
class Paster {
public:
    virtual ~Paster() = default;
    virtual void paste(const QString& text) = 0;
};
