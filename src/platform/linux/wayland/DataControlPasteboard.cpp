#include "DataControlPasteboard.h"

#include "ClipboardReads.h"
#include "WaylandConnection.h"
#include "common/Log.h"

#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <QDeadlineTimer>

#include <wayland-client.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

// The contents Mirvo held, in a process of their own once Mirvo ends. Only C and the
// protocol's library run there: the forked copy of Mirvo has none of its threads.
struct ClipboardHolder {
    std::vector<std::pair<std::string, QByteArray>> types;
    bool replaced = false;

    static void send(void* data, zwlr_data_control_source_v1*, const char* type, int fd) {
        for (const auto& [held, bytes] : static_cast<ClipboardHolder*>(data)->types)
            if (held == type) {
                writeAllAndClose(fd, bytes, 5000);
                return;
            }
        ::close(fd);
    }
    static void cancelled(void* data, zwlr_data_control_source_v1*) {
        static_cast<ClipboardHolder*>(data)->replaced = true;
    }

    // Serves the contents until another client takes the clipboard; never returns.
    [[noreturn]] void serve() {
        // Nothing of Mirvo's stays open here: its instance lock, its sockets, its X connection.
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd)
            ::dup2(null, fd);
        ::close_range(3, ~0U, 0);
        for (int signo : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2})
            ::signal(signo, SIG_DFL);
        const auto connection =
            WaylandConnection::open({{&zwlr_data_control_manager_v1_interface, 1}});
        auto* manager = connection ? connection->global<zwlr_data_control_manager_v1>(
                                         zwlr_data_control_manager_v1_interface)
                                   : nullptr;
        if (!manager)
            ::_exit(1);
        zwlr_data_control_v1* control =
            zwlr_data_control_manager_v1_get_data_control(manager, connection->seat());
        zwlr_data_control_source_v1* source =
            zwlr_data_control_manager_v1_create_data_source(manager);
        static const zwlr_data_control_source_v1_listener listener = {send, cancelled};
        zwlr_data_control_source_v1_add_listener(source, &listener, this);
        for (const auto& [type, bytes] : types)
            zwlr_data_control_source_v1_offer(source, type.c_str());
        zwlr_data_control_v1_set_selection(control, source);
        while (!replaced && wl_display_dispatch(connection->display()) >= 0) {
        }
        ::_exit(0);
    }
};

} // namespace

// The protocol's callbacks, handing each event to the pasteboard.
struct DataControlListeners {
    static void offerType(void* data, zwlr_data_control_offer_v1* offer, const char* type) {
        auto* self = static_cast<DataControlPasteboard*>(data);
        if (offer == self->incoming_.offer)
            self->incoming_.types.append(QString::fromUtf8(type));
    }

    static void dataOffer(void* data, zwlr_data_control_v1*, zwlr_data_control_offer_v1* offer) {
        auto* self = static_cast<DataControlPasteboard*>(data);
        if (self->incoming_.offer)
            zwlr_data_control_offer_v1_destroy(self->incoming_.offer);
        self->incoming_ = {offer, {}};
        static const zwlr_data_control_offer_v1_listener listener = {offerType};
        zwlr_data_control_offer_v1_add_listener(offer, &listener, self);
    }
    static void selection(void* data, zwlr_data_control_v1*, zwlr_data_control_offer_v1* offer) {
        auto* self = static_cast<DataControlPasteboard*>(data);
        if (self->selection_.offer && self->selection_.offer != offer)
            zwlr_data_control_offer_v1_destroy(self->selection_.offer);
        self->selection_ = offer == self->incoming_.offer ? self->incoming_
                                                          : DataControlPasteboard::Offer{offer, {}};
        if (offer == self->incoming_.offer)
            self->incoming_ = {};
    }
    static void finished(void* data, zwlr_data_control_v1*) {
        auto* self = static_cast<DataControlPasteboard*>(data);
        mirvoLog(QStringLiteral("[Mirvo] the compositor ended Mirvo's clipboard access"),
                 LogLevel::warning);
        self->failed_ = true;
    }

    static void send(void* data, zwlr_data_control_source_v1* source, const char* type, int fd) {
        auto* self = static_cast<DataControlPasteboard*>(data);
        if (source == self->source_)
            self->send(QString::fromUtf8(type), fd);
        else
            ::close(fd);
    }
    static void cancelled(void* data, zwlr_data_control_source_v1* source) {
        auto* self = static_cast<DataControlPasteboard*>(data);
        if (source == self->source_)
            self->dropSource();
        else
            zwlr_data_control_source_v1_destroy(source);
    }
};

std::unique_ptr<DataControlPasteboard> DataControlPasteboard::connect() {
    auto connection = WaylandConnection::open({{&zwlr_data_control_manager_v1_interface, 1}});
    if (!connection ||
        !connection->global<zwlr_data_control_manager_v1>(zwlr_data_control_manager_v1_interface))
        return nullptr;
    std::unique_ptr<DataControlPasteboard> pasteboard(
        new DataControlPasteboard(std::move(connection)));
    // The current selection arrives with the first events.
    return pasteboard->roundtrip() ? std::move(pasteboard) : nullptr;
}

DataControlPasteboard::DataControlPasteboard(std::unique_ptr<WaylandConnection> connection)
    : connection_(std::move(connection)), display_(connection_->display()),
      manager_(connection_->global<zwlr_data_control_manager_v1>(
          zwlr_data_control_manager_v1_interface)) {
    control_ = zwlr_data_control_manager_v1_get_data_control(manager_, connection_->seat());
    static const zwlr_data_control_v1_listener controlListener = {DataControlListeners::dataOffer,
                                                                  DataControlListeners::selection,
                                                                  DataControlListeners::finished};
    zwlr_data_control_v1_add_listener(control_, &controlListener, this);
    notifier_ =
        std::make_unique<QSocketNotifier>(wl_display_get_fd(display_), QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { dispatch(); });
}

DataControlPasteboard::~DataControlPasteboard() {
    notifier_.reset();
    for (Delivery& delivery : deliveries_)
        ::close(delivery.fd);
    deliveries_.clear();
    for (zwlr_data_control_offer_v1* offer : {incoming_.offer, selection_.offer})
        if (offer)
            zwlr_data_control_offer_v1_destroy(offer);
    if (source_)
        zwlr_data_control_source_v1_destroy(source_);
    zwlr_data_control_v1_destroy(control_);
}

void DataControlPasteboard::dispatch() {
    if (wl_display_prepare_read(display_) == 0)
        wl_display_read_events(display_);
    if (wl_display_dispatch_pending(display_) < 0 || !flush())
        notifier_->setEnabled(false);
}

bool DataControlPasteboard::flush() {
    if (!failed_ && wl_display_flush(display_) < 0 && errno != EAGAIN) {
        const int error = wl_display_get_error(display_);
        mirvoLog(QStringLiteral("[Mirvo] the connection to the compositor failed: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(error ? error : errno))),
                 LogLevel::warning);
        failed_ = true;
    }
    return !failed_;
}

bool DataControlPasteboard::roundtrip() {
    if (!failed_ && wl_display_roundtrip(display_) < 0)
        flush(); // logs the failure
    return !failed_ && wl_display_get_error(display_) == 0;
}

std::optional<std::vector<std::unique_ptr<PasteboardItem>>>
DataControlPasteboard::pasteboardItems() {
    if (!roundtrip())
        clipboardReadFailed(QStringLiteral("the compositor cannot be reached"));
    if (!selection_.offer)
        return std::nullopt;
    QStringList kept;
    for (const QString& type : selection_.types)
        if (!isRedundantImage(type, selection_.types))
            kept.append(type);
    std::vector<std::unique_ptr<PasteboardItem>> items;
    items.push_back(std::make_unique<LazyPasteboardItem>(
        kept, [this, offer = selection_.offer,
               budget = std::make_shared<SnapshotBudget>()](const QString& type) {
            if (offer != selection_.offer) // replaced since it was listed
                return std::optional<QByteArray>();
            return read(type, *budget);
        }));
    return items;
}

std::optional<QByteArray> DataControlPasteboard::read(const QString& type, SnapshotBudget& budget) {
    // What Mirvo offers itself is answered from memory: a read of its own offer would wait for
    // a send event this thread dispatches.
    if (source_)
        return offered_.count(type) ? std::optional(offered_.at(type)) : std::nullopt;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        clipboardReadFailed(QString::fromLocal8Bit(std::strerror(errno)));
    zwlr_data_control_offer_v1_receive(selection_.offer, type.toUtf8().constData(), fds[1]);
    ::close(fds[1]);
    if (!flush()) {
        ::close(fds[0]);
        clipboardReadFailed(QStringLiteral("the compositor cannot be reached"));
    }
    return readPipe(fds[0], type, budget);
}

bool DataControlPasteboard::offer(const PasteboardItemData& item) {
    if (failed_)
        return false;
    dropSource();
    source_ = zwlr_data_control_manager_v1_create_data_source(manager_);
    static const zwlr_data_control_source_v1_listener listener = {DataControlListeners::send,
                                                                  DataControlListeners::cancelled};
    zwlr_data_control_source_v1_add_listener(source_, &listener, this);
    for (const auto& [type, bytes] : item)
        zwlr_data_control_source_v1_offer(source_, type.toUtf8().constData());
    offered_ = item;
    zwlr_data_control_v1_set_selection(control_, source_);
    // Once the compositor has answered, the selection is ours: a paste chord may follow.
    if (roundtrip())
        return true;
    mirvoLog(QStringLiteral("[Mirvo] cannot set the clipboard: the compositor cannot be reached"),
             LogLevel::warning);
    return false;
}

void DataControlPasteboard::dropSource() {
    if (source_)
        zwlr_data_control_source_v1_destroy(source_);
    source_ = nullptr;
    offered_.clear();
}

void DataControlPasteboard::send(const QString& type, int fd) {
    ++fetches_;
    const auto found = offered_.find(type);
    if (found == offered_.end()) {
        ::close(fd);
        return;
    }
    // Written as the target reads, so that a slow one never blocks Mirvo.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Delivery& delivery = deliveries_.emplace_back(Delivery{fd, found->second, 0, nullptr});
    delivery.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    QObject::connect(delivery.notifier.get(), &QSocketNotifier::activated, this,
                     [this, &delivery] { write(delivery); });
    write(delivery);
}

void DataControlPasteboard::write(Delivery& delivery) {
    while (delivery.written < delivery.bytes.size()) {
        const ssize_t put = ::write(delivery.fd, delivery.bytes.constData() + delivery.written,
                                    size_t(delivery.bytes.size() - delivery.written));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0 && errno == EAGAIN)
            return; // the notifier calls again when the target has read
        if (put <= 0)
            break; // the target went away
        delivery.written += put;
    }
    ::close(delivery.fd);
    // This may run in the notifier's own signal: it goes once that has returned.
    delivery.notifier->setEnabled(false);
    delivery.notifier.release()->deleteLater();
    deliveries_.remove_if([&](const Delivery& d) { return &d == &delivery; });
}

void DataControlPasteboard::clearContents() {
    dropSource();
    if (!failed_) {
        zwlr_data_control_v1_set_selection(control_, nullptr);
        roundtrip();
    }
}

bool DataControlPasteboard::setString(const QString& text, bool transient) {
    PasteboardItemData item;
    for (const QString& type : textTypes)
        item[type] = text.toUtf8();
    if (transient) // the KDE convention that clipboard managers honour
        item[QStringLiteral("x-kde-passwordManagerHint")] = QByteArrayLiteral("secret");
    return offer(item);
}

bool DataControlPasteboard::keepAfterExit() {
    if (!source_ || failed_)
        return false;
    ClipboardHolder holder;
    for (const auto& [type, bytes] : offered_)
        holder.types.emplace_back(type.toStdString(), bytes);
    const pid_t child = ::fork();
    if (child == 0) {
        // The holder is nobody's child, so that it leaves no zombie behind.
        if (::fork() != 0)
            ::_exit(0);
        ::setsid();
        holder.serve();
    }
    if (child < 0) {
        mirvoLog(QStringLiteral("[Mirvo] the clipboard cannot outlive Mirvo: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno))),
                 LogLevel::warning);
        return false;
    }
    ::waitpid(child, nullptr, 0);
    // The holder has the clipboard once the compositor has taken Mirvo's offer away.
    const QDeadlineTimer deadline(1000);
    while (source_ && !deadline.hasExpired() && roundtrip())
        ::poll(nullptr, 0, 10);
    if (source_) {
        mirvoLog(QStringLiteral("[Mirvo] the clipboard holder did not take the clipboard"),
                 LogLevel::warning);
        return false;
    }
    mirvoLog(QStringLiteral("[Mirvo] clipboard handed to a holder that outlives Mirvo"));
    return true;
}

bool DataControlPasteboard::writeObjects(const std::vector<PasteboardItemData>& items) {
    // The Wayland clipboard holds one item.
    return !items.empty() && !items.front().empty() && offer(items.front());
}
