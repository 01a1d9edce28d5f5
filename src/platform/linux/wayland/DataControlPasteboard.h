#pragma once

#include "platform/linux/system/LinuxOnly.h"

#include "platform/Pasteboard.h"

#include <QObject>
#include <QSocketNotifier>

#include <list>

class WaylandConnection;
struct SnapshotBudget;
struct wl_display;
struct zwlr_data_control_manager_v1;
struct zwlr_data_control_v1;
struct zwlr_data_control_offer_v1;
struct zwlr_data_control_source_v1;

// The Wayland clipboard of a compositor with wlr-data-control (sway, Hyprland, river…), through a
// connection of Mirvo's own: an item is read and written back in every type it has, and each
// fetch of what Mirvo offers is counted, so that a paste restores the user's contents as soon as
// the target has taken the text. A snapshot is bounded as a whole (5 s and 64 MiB for all its
// types, images in PNG only when the owner offers it); a read past that throws, so that a
// restore never replaces what could not be read with nothing. Main thread only.
class DataControlPasteboard final : public QObject, public Pasteboard {
public:
    // None when there is no compositor to reach or it lacks the protocol.
    static std::unique_ptr<DataControlPasteboard> connect();
    ~DataControlPasteboard() override;

    std::optional<std::vector<std::unique_ptr<PasteboardItem>>> pasteboardItems() override;
    void clearContents() override;
    bool setString(const QString& text, bool transient = false) override;
    bool writeObjects(const std::vector<PasteboardItemData>& items) override;
    quint64 fetchCount() const override { return fetches_; }
    // What Mirvo offers goes to a process of its own, which serves it until another client
    // takes the clipboard: nothing else keeps a Wayland clipboard after its owner ends.
    bool keepAfterExit() override;

private:
    struct Offer {
        zwlr_data_control_offer_v1* offer = nullptr;
        QStringList types;
    };
    // What is still to be written to a target that fetched a type.
    struct Delivery {
        int fd;
        QByteArray bytes;
        qsizetype written = 0;
        std::unique_ptr<QSocketNotifier> notifier;
    };

    explicit DataControlPasteboard(std::unique_ptr<WaylandConnection> connection);
    void dispatch();
    // False (logged once) when the connection has failed.
    bool flush();
    bool roundtrip();
    bool offer(const PasteboardItemData& item);
    void dropSource();
    void send(const QString& type, int fd);
    void write(Delivery& delivery);
    std::optional<QByteArray> read(const QString& type, SnapshotBudget& budget);

    friend struct DataControlListeners;

    const std::unique_ptr<WaylandConnection> connection_;
    wl_display* const display_;
    zwlr_data_control_manager_v1* const manager_;
    zwlr_data_control_v1* control_ = nullptr;
    // The offer being introduced, and the one that is the selection now.
    Offer incoming_;
    Offer selection_;
    zwlr_data_control_source_v1* source_ = nullptr;
    PasteboardItemData offered_;
    quint64 fetches_ = 0;
    std::list<Delivery> deliveries_;
    bool failed_ = false;
    std::unique_ptr<QSocketNotifier> notifier_;
};
