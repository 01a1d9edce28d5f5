#include "QtClipboardPasteboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

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
    QGuiApplication::clipboard()->setMimeData(mime, QClipboard::Clipboard);
    return true;
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
