#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/Pasteboard.h"

#include <QObject>

class PortalRemoteDesktop;
class QDBusMessage;
struct SnapshotBudget;

// The clipboard on GNOME: through the Clipboard portal while Mirvo's remote desktop session
// carries it, since GNOME lets no program that is not focused set the clipboard; through
// `fallback` otherwise (before the user allowed the session, or on a portal without it). What
// Mirvo offers is answered from memory and each fetch of it counted, so that a paste restores
// the user's contents as soon as the target took the text. A snapshot is bounded as a whole (5 s
// and 64 MiB); a read past that throws, so that a restore never replaces what could not be read
// with nothing. Main thread only.
class PortalClipboard final : public QObject, public Pasteboard {
    Q_OBJECT
public:
    PortalClipboard(std::shared_ptr<PortalRemoteDesktop> session,
                    std::shared_ptr<Pasteboard> fallback);

    std::optional<std::vector<std::unique_ptr<PasteboardItem>>> pasteboardItems() override;
    // The portal has no empty clipboard: what Mirvo offers next replaces the contents.
    void clearContents() override;
    bool setString(const QString& text, bool transient = false) override;
    bool writeObjects(const std::vector<PasteboardItemData>& items) override;
    quint64 fetchCount() const override;

private slots:
    void onOwnerChanged(const QDBusMessage& message);
    void onTransfer(const QDBusMessage& message);

private:
    bool ours(const QDBusMessage& message) const;
    bool offer(const PasteboardItemData& item);
    std::optional<QByteArray> read(const QString& type, SnapshotBudget& budget);
    QDBusMessage call(const char* method) const;

    const std::shared_ptr<PortalRemoteDesktop> session_;
    const std::shared_ptr<Pasteboard> fallback_;
    // The selection as the portal last told it.
    QStringList types_;
    bool owner_ = false;
    PasteboardItemData offered_;
    quint64 fetches_ = 0;
};
