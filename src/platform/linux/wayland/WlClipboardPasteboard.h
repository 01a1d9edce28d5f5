#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/Pasteboard.h"

// The Wayland clipboard through wl-clipboard's wl-copy and wl-paste, which reach it on wlroots
// compositors (data-control) and, less reliably, elsewhere. wl-copy offers one type per call,
// so an item is read and written in the one type that best keeps it (text before images before
// the rest). Who fetches the text is not observable from here: fetchCount() stays 0 and a
// paste restores the user's contents only after its longest wait. A read that fails (over 5 s or
// 64 MiB) throws, so that a restore never replaces what could not be read with nothing.
class WlClipboardPasteboard final : public Pasteboard {
public:
    std::optional<std::vector<std::unique_ptr<PasteboardItem>>> pasteboardItems() override;
    void clearContents() override;
    bool setString(const QString& text, bool transient = false) override;
    bool writeObjects(const std::vector<PasteboardItemData>& items) override;
    quint64 fetchCount() const override { return 0; }

    // The type of `types` that keeps an item best; empty for none.
    static QString bestType(const QStringList& types);
};
