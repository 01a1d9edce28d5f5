#include "QtClipboardPasteboard.h"

#include "common/Log.h"
#include "common/MirvoError.h"

#include <QAbstractNativeEventFilter>
#include <QClipboard>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMimeData>
#include <QTimer>
#include <QtGui/qguiapplication_platform.h>

#include <cerrno>
#include <cstring>
#include <xcb/xcb.h>

struct QtClipboardPasteboard::Counter {
    quint64 fetches = 0;
    bool readingOurselves = false;
};

namespace {

const QStringList x11Bookkeeping = {"TARGETS", "MULTIPLE",         "TIMESTAMP",      "SAVE_TARGETS",
                                    "DELETE",  "INSERT_SELECTION", "INSERT_PROPERTY"};
const QStringList qtAliases = {"BITMAP",
                               "PIXMAP",
                               "UTF8_STRING",
                               "STRING",
                               "TEXT",
                               "COMPOUND_TEXT",
                               "text/plain;charset=utf-8",
                               "application/x-qt-image"};

// Mime data that notices when another application fetches it.
class CountingMimeData final : public QMimeData {
public:
    explicit CountingMimeData(std::weak_ptr<QtClipboardPasteboard::Counter> counter)
        : counter_(std::move(counter)) {}

protected:
    QVariant retrieveData(const QString& type, QMetaType preferred) const override {
        if (auto counter = counter_.lock(); counter && !counter->readingOurselves)
            ++counter->fetches;
        return QMimeData::retrieveData(type, preferred);
    }

private:
    std::weak_ptr<QtClipboardPasteboard::Counter> counter_;
};

class ClipboardItem final : public PasteboardItem {
public:
    ClipboardItem(QStringList types, std::shared_ptr<QtClipboardPasteboard::Counter> counter)
        : types_(std::move(types)), counter_(std::move(counter)) {}
    QStringList types() const override { return types_; }
    std::optional<QByteArray> data(const QString& type) const override {
        const QMimeData* mime = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
        if (!mime)
            return std::nullopt;
        counter_->readingOurselves = true;
        const bool has = mime->hasFormat(type);
        QByteArray bytes = has ? mime->data(type) : QByteArray();
        counter_->readingOurselves = false;
        if (!has)
            return std::nullopt;
        return bytes;
    }

private:
    QStringList types_;
    std::shared_ptr<QtClipboardPasteboard::Counter> counter_;
};

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, false, uint16_t(strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : XCB_ATOM_NONE;
    free(reply);
    return atom;
}

bool selectionHasOwner(xcb_connection_t* connection, const char* selection) {
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, internAtom(connection, selection)),
        nullptr);
    const bool owned = owner && owner->owner != XCB_NONE;
    free(owner);
    return owned;
}

xcb_connection_t* qtConnection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

bool clipboardHasOwner() {
    xcb_connection_t* connection = qtConnection();
    return connection && selectionHasOwner(connection, "CLIPBOARD");
}

} // namespace

QtClipboardPasteboard::QtClipboardPasteboard() : counter_(std::make_shared<Counter>()) {}

QtClipboardPasteboard::~QtClipboardPasteboard() = default;

bool QtClipboardPasteboard::isKeptType(const QString& type, const QStringList& allTypes) {
    if (x11Bookkeeping.contains(type) || qtAliases.contains(type))
        return false;
    if (type.startsWith(QLatin1String("image/")) && type != QLatin1String("image/png") &&
        allTypes.contains(QStringLiteral("image/png")))
        return false;
    return true;
}

std::optional<std::vector<std::unique_ptr<PasteboardItem>>>
QtClipboardPasteboard::pasteboardItems() {
    const QMimeData* mime = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (!mime)
        return std::nullopt;
    counter_->readingOurselves = true;
    const QStringList all = mime->formats();
    counter_->readingOurselves = false;
    // No types from an owner that exists means it did not answer in time, not that it holds
    // nothing: restoring that would wipe what it holds.
    if (all.isEmpty() && !QGuiApplication::clipboard()->ownsClipboard() && clipboardHasOwner())
        throw MirvoError(MirvoError::Kind::timedOut,
                         QStringLiteral("the clipboard's owner did not answer"));
    QStringList kept;
    for (const QString& type : all)
        if (isKeptType(type, all))
            kept.append(type);
    std::vector<std::unique_ptr<PasteboardItem>> items;
    if (!all.isEmpty())
        items.push_back(std::make_unique<ClipboardItem>(kept, counter_));
    return items;
}

void QtClipboardPasteboard::clearContents() {
    QGuiApplication::clipboard()->clear(QClipboard::Clipboard);
}

bool QtClipboardPasteboard::setString(const QString& text, bool transient) {
    auto* mime = new CountingMimeData(counter_);
    mime->setText(text);
    if (transient) // the KDE convention that clipboard managers honour
        mime->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setMimeData(mime, QClipboard::Clipboard);
    // The X server may refuse the selection: the clipboard then serves somebody else's data.
    return clipboard->mimeData(QClipboard::Clipboard) == mime;
}

bool QtClipboardPasteboard::writeObjects(const std::vector<PasteboardItemData>& items) {
    if (items.empty())
        return false;
    // The X11 clipboard holds one item; only the first can be written.
    auto* mime = new CountingMimeData(counter_);
    for (const auto& [type, bytes] : items.front())
        mime->setData(type, bytes);
    QGuiApplication::clipboard()->setMimeData(mime, QClipboard::Clipboard);
    return true;
}

quint64 QtClipboardPasteboard::fetchCount() const {
    return counter_->fetches;
}

namespace {

// Ends `loop` when the answer to a selection request made for `window` arrives.
class SelectionNotifyWatch final : public QAbstractNativeEventFilter {
public:
    SelectionNotifyWatch(xcb_window_t window, QEventLoop& loop) : window_(window), loop_(loop) {}
    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override {
        if (type != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_SELECTION_NOTIFY ||
            reinterpret_cast<const xcb_selection_notify_event_t*>(event)->requestor != window_)
            return false;
        answered = true;
        loop_.quit();
        return true;
    }
    bool answered = false;

private:
    const xcb_window_t window_;
    QEventLoop& loop_;
};

} // namespace

bool QtClipboardPasteboard::keepAfterExit() {
    xcb_connection_t* connection = qtConnection();
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!connection || !clipboard->ownsClipboard() ||
        !selectionHasOwner(connection, "CLIPBOARD_MANAGER"))
        return false;
    const xcb_atom_t manager = internAtom(connection, "CLIPBOARD_MANAGER");

    const xcb_window_t window = xcb_generate_id(connection);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    QEventLoop loop;
    SelectionNotifyWatch watch(window, loop);
    qGuiApp->installNativeEventFilter(&watch);
    xcb_convert_selection(connection, window, manager, internAtom(connection, "SAVE_TARGETS"),
                          internAtom(connection, "MIRVO_SAVE_TARGETS"), XCB_CURRENT_TIME);
    xcb_flush(connection);
    QTimer::singleShot(3000, &loop, &QEventLoop::quit);
    loop.exec();
    qGuiApp->removeNativeEventFilter(&watch);
    xcb_destroy_window(connection, window);
    xcb_flush(connection);
    if (!watch.answered) {
        mirvoLog(QStringLiteral("[Mirvo] the clipboard manager did not answer within 3 s"),
                 LogLevel::warning);
        return false;
    }
    // A manager takes the clipboard over once it has the contents; let that arrive, and give
    // up a clipboard it left with us so that Qt does not ask it a second time at exit.
    QEventLoop settle;
    QTimer::singleShot(50, &settle, &QEventLoop::quit);
    settle.exec();
    if (clipboard->ownsClipboard())
        clipboard->clear(QClipboard::Clipboard);
    mirvoLog(QStringLiteral("[Mirvo] clipboard handed to the clipboard manager"));
    return true;
}
