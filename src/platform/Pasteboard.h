#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <memory>
#include <optional>
#include <vector>

// One item of the clipboard: its data by type (a MIME type on Linux).
using PasteboardItemData = std::map<QString, QByteArray>;

// An item on the clipboard as it is now; its data is read on demand.
class PasteboardItem {
public:
    virtual ~PasteboardItem() = default;
    virtual QStringList types() const = 0;
    // Absent when the owner cannot supply that type. Throws MirvoError when reading it
    // failed (timed out, too large): the data is there but could not be copied.
    virtual std::optional<QByteArray> data(const QString& type) const = 0;
};

// The system clipboard: on Linux X11's CLIPBOARD selection, or the Wayland clipboard through
// data-control or wl-clipboard. Main thread only.
class Pasteboard {
public:
    static inline const QString plainTextType = QStringLiteral("text/plain");

    virtual ~Pasteboard() = default;
    // The items in order; absent when the clipboard has no contents to list. Throws
    // MirvoError when the clipboard could not be asked.
    virtual std::optional<std::vector<std::unique_ptr<PasteboardItem>>> pasteboardItems() = 0;
    virtual void clearContents() = 0;
    // Puts `text` on the clipboard as plain text; false when the clipboard could not be taken.
    // `transient` asks clipboard managers not to keep it in their history.
    virtual bool setString(const QString& text, bool transient = false) = 0;
    virtual bool writeObjects(const std::vector<PasteboardItemData>& items) = 0;
    // How often another application has fetched what this process put on the clipboard.
    virtual quint64 fetchCount() const = 0;
    // Mirvo is ending while it holds the clipboard: give the contents to the desktop's
    // clipboard manager, if one runs, so that they outlive the process. Whether one took them.
    virtual bool keepAfterExit() { return false; }
};
