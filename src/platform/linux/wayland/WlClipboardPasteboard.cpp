#include "WlClipboardPasteboard.h"

#include "ClipboardReads.h"
#include "common/Log.h"
#include "platform/linux/system/HelperProcess.h"

#include <QElapsedTimer>
#include <QThread>

namespace {

class WlClipboardItem final : public PasteboardItem {
public:
    explicit WlClipboardItem(QString type) : type_(std::move(type)) {}
    QStringList types() const override { return {type_}; }
    std::optional<QByteArray> data(const QString& type) const override {
        const HelperResult read =
            HelperProcess::run(QStringLiteral("wl-paste"),
                               {QStringLiteral("--no-newline"), QStringLiteral("--type"), type},
                               QByteArray(), snapshotReadMs, true, snapshotReadBytes);
        if (!read.ran)
            clipboardReadFailed(read.problem);
        return read.output;
    }

private:
    const QString type_;
};

bool copy(const QString& type, const QByteArray& bytes) {
    const HelperResult copied = HelperProcess::run(
        QStringLiteral("wl-copy"), {QStringLiteral("--type"), type}, bytes, 2000, false);
    if (!copied.ran) {
        mirvoLog(QStringLiteral("[Mirvo] cannot set the clipboard: ") + copied.problem,
                 LogLevel::warning);
        return false;
    }
    // wl-copy returns before the copy it leaves behind has taken the clipboard; a paste chord
    // sent in between would paste what was there before.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 1000) {
        const HelperResult listed =
            HelperProcess::run(QStringLiteral("wl-paste"), {QStringLiteral("--list-types")});
        if (listed.ran && listed.output.split('\n').contains(type.toUtf8()))
            return true;
        QThread::msleep(5);
    }
    mirvoLog(QStringLiteral("[Mirvo] the clipboard did not show the new contents within 1 s"),
             LogLevel::warning);
    return false;
}

} // namespace

QString WlClipboardPasteboard::bestType(const QStringList& types) {
    static const QStringList preferred = {
        QStringLiteral("text/plain;charset=utf-8"), QStringLiteral("text/plain"),
        QStringLiteral("UTF8_STRING"), QStringLiteral("image/png")};
    for (const QString& type : preferred)
        if (types.contains(type))
            return type;
    for (const QString& type : types)
        if (type.contains(QLatin1Char('/')))
            return type;
    return types.value(0);
}

std::optional<std::vector<std::unique_ptr<PasteboardItem>>>
WlClipboardPasteboard::pasteboardItems() {
    const HelperResult listed = HelperProcess::run(
        QStringLiteral("wl-paste"), {QStringLiteral("--list-types")}, QByteArray(), snapshotReadMs);
    // wl-paste ends with status 1 when nothing is copied; anything else is a failed read.
    if (!listed.ran) {
        if (listed.exitCode == 1)
            return std::nullopt;
        clipboardReadFailed(listed.problem);
    }
    const QString type =
        bestType(QString::fromUtf8(listed.output).split(QLatin1Char('\n'), Qt::SkipEmptyParts));
    std::vector<std::unique_ptr<PasteboardItem>> items;
    if (!type.isEmpty())
        items.push_back(std::make_unique<WlClipboardItem>(type));
    return items;
}

void WlClipboardPasteboard::clearContents() {
    HelperProcess::run(QStringLiteral("wl-copy"), {QStringLiteral("--clear")});
}

bool WlClipboardPasteboard::setString(const QString& text, bool) {
    // wl-clipboard 2.1 has no way to add the "keep out of history" hint X11 gets.
    return copy(QStringLiteral("text/plain;charset=utf-8"), text.toUtf8());
}

bool WlClipboardPasteboard::writeObjects(const std::vector<PasteboardItemData>& items) {
    if (items.empty() || items.front().empty())
        return false;
    const PasteboardItemData& item = items.front();
    QStringList types;
    for (const auto& [type, bytes] : item)
        types.append(type);
    const QString type = bestType(types);
    return copy(type, item.at(type));
}
