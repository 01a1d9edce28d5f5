#pragma once

#include "support/Subprocess.h"

#include <QString>

// A private virtual X server for one figures program. start() exports DISPLAY for this process
// and its children.
class XvfbServer final {
public:
    XvfbServer() = default;
    ~XvfbServer() { server_.stop(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // `screenSize` as WIDTHxHEIGHT.
    bool start(const QString& screenSize = QStringLiteral("1280x800"));
    const QString& display() const { return display_; }

private:
    Subprocess server_;
    QString display_;
};
