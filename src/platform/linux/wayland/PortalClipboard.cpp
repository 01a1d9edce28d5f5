#include "PortalClipboard.h"

#include "ClipboardReads.h"
#include "PortalRemoteDesktop.h"
#include "PortalRequest.h"

#include "common/Log.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString clipboardInterface = QStringLiteral("org.freedesktop.portal.Clipboard");
constexpr int writeMs = 2000;

// A descriptor of the caller's own from one in a portal's reply; -1 when there is none.
int takeDescriptor(const QDBusMessage& reply) {
    const auto fd = reply.arguments().value(0).value<QDBusUnixFileDescriptor>();
    return fd.isValid() ? fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
}

} // namespace

PortalClipboard::PortalClipboard(std::shared_ptr<PortalRemoteDesktop> session,
                                 std::shared_ptr<Pasteboard> fallback)
    : session_(std::move(session)), fallback_(std::move(fallback)) {
    QDBusConnection bus = session_->bus();
    bus.connect(Portal::service, Portal::path, clipboardInterface,
                QStringLiteral("SelectionOwnerChanged"), this, SLOT(onOwnerChanged(QDBusMessage)));
    bus.connect(Portal::service, Portal::path, clipboardInterface,
                QStringLiteral("SelectionTransfer"), this, SLOT(onTransfer(QDBusMessage)));
}

QDBusMessage PortalClipboard::call(const char* method) const {
    QDBusMessage message = Portal::call(clipboardInterface, method);
    message << QVariant::fromValue(QDBusObjectPath(session_->sessionPath()));
    return message;
}

bool PortalClipboard::ours(const QDBusMessage& message) const {
    return session_->clipboardEnabled() &&
           message.arguments().value(0).value<QDBusObjectPath>().path() == session_->sessionPath();
}

void PortalClipboard::onOwnerChanged(const QDBusMessage& message) {
    if (!ours(message))
        return;
    const QVariantMap options = qdbus_cast<QVariantMap>(message.arguments().value(1));
    types_ = options.value(QStringLiteral("mime_types")).toStringList();
    owner_ = options.value(QStringLiteral("session_is_owner")).toBool();
}

void PortalClipboard::onTransfer(const QDBusMessage& message) {
    if (!ours(message))
        return;
    const QString type = message.arguments().value(1).toString();
    const uint serial = message.arguments().value(2).toUInt();
    ++fetches_;
    const auto held = offered_.find(type);
    const int fd = held == offered_.end()
                       ? -1
                       : takeDescriptor(session_->bus().call(call("SelectionWrite") << serial,
                                                             QDBus::Block, writeMs));
    if (fd >= 0)
        writeAllAndClose(fd, held->second, writeMs);
    session_->bus().send(call("SelectionWriteDone") << serial << (fd >= 0));
}

std::optional<std::vector<std::unique_ptr<PasteboardItem>>> PortalClipboard::pasteboardItems() {
    if (!session_->clipboardEnabled())
        return fallback_->pasteboardItems();
    if (types_.isEmpty())
        return std::nullopt;
    QStringList kept;
    for (const QString& type : types_)
        if (!isRedundantImage(type, types_))
            kept.append(type);
    std::vector<std::unique_ptr<PasteboardItem>> items;
    items.push_back(std::make_unique<LazyPasteboardItem>(
        kept, [this, budget = std::make_shared<SnapshotBudget>()](const QString& type) {
            return read(type, *budget);
        }));
    return items;
}

std::optional<QByteArray> PortalClipboard::read(const QString& type, SnapshotBudget& budget) {
    // What Mirvo offers itself is answered from memory: a read of it would wait for a transfer
    // this thread answers.
    if (owner_)
        return offered_.count(type) ? std::optional(offered_.at(type)) : std::nullopt;
    const QDBusMessage reply = session_->bus().call(call("SelectionRead") << type, QDBus::Block,
                                                    int(budget.deadline.remainingTime()));
    const int fd = takeDescriptor(reply);
    if (fd < 0)
        clipboardReadFailed(
            QStringLiteral("reading %1 from the clipboard: %2").arg(type, reply.errorMessage()));
    return readPipe(fd, type, budget);
}

void PortalClipboard::clearContents() {
    if (!session_->clipboardEnabled())
        fallback_->clearContents();
}

bool PortalClipboard::offer(const PasteboardItemData& item) {
    QStringList types;
    for (const auto& [type, bytes] : item)
        types.append(type);
    // Answered before the chord goes: the target must find Mirvo's text, not the one before.
    const QDBusMessage reply = session_->bus().call(
        call("SetSelection") << QVariantMap{{QStringLiteral("mime_types"), types}}, QDBus::Block,
        writeMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        mirvoLog(QStringLiteral("[Mirvo] cannot set the clipboard: ") + reply.errorMessage(),
                 LogLevel::warning);
        return false;
    }
    offered_ = item;
    owner_ = true;
    types_ = types;
    return true;
}

bool PortalClipboard::setString(const QString& text, bool transient) {
    if (!session_->clipboardEnabled())
        return fallback_->setString(text, transient);
    PasteboardItemData item;
    for (const QString& type : textTypes)
        item[type] = text.toUtf8();
    return offer(item);
}

bool PortalClipboard::writeObjects(const std::vector<PasteboardItemData>& items) {
    if (!session_->clipboardEnabled())
        return fallback_->writeObjects(items);
    // The portal carries one item.
    return !items.empty() && !items.front().empty() && offer(items.front());
}

quint64 PortalClipboard::fetchCount() const {
    return session_->clipboardEnabled() ? fetches_ : fallback_->fetchCount();
}
