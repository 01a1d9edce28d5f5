#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/Pasteboard.h"

#include <memory>

// The X11 CLIPBOARD selection through QClipboard: one item whose types are MIME types.
// Snapshots keep what the owner really offers: X11 bookkeeping targets and the aliases Qt
// derives itself are left out, and of an image only image/png is kept (Qt offers a dozen
// conversions of every image, each costly to fetch). Main thread only.
class QtClipboardPasteboard final : public Pasteboard {
public:
    QtClipboardPasteboard();
    ~QtClipboardPasteboard() override;

    std::optional<std::vector<std::unique_ptr<PasteboardItem>>> pasteboardItems() override;
    void clearContents() override;
    bool setString(const QString& text, bool transient) override;
    bool writeObjects(const std::vector<PasteboardItemData>& items) override;
    quint64 fetchCount() const override;
    // Asks the clipboard manager (ICCCM's SAVE_TARGETS) while the event loop still runs, so
    // that its requests for the data are answered; Qt's own request at exit can miss them and
    // leave the manager with nothing.
    bool keepAfterExit() override;

    // Whether a type listed by the clipboard is worth keeping in a snapshot.
    static bool isKeptType(const QString& type, const QStringList& allTypes);

    struct Counter;

private:
    std::shared_ptr<Counter> counter_;
};
