#pragma once

#include "platform/Pasteboard.h"

#include <QStringList>

// An in-memory clipboard: items of typed data, some types of which may refuse to be read.
class FakePasteboard final : public Pasteboard {
public:
    struct Item {
        std::vector<std::pair<QString, QByteArray>> types; // in listing order
        QStringList unreadable;
    };

    std::optional<std::vector<std::unique_ptr<PasteboardItem>>> pasteboardItems() override {
        calls.append("items");
        if (!hasContents)
            return std::nullopt;
        std::vector<std::unique_ptr<PasteboardItem>> out;
        for (const Item& item : items)
            out.push_back(std::make_unique<Reader>(item));
        return out;
    }
    void clearContents() override {
        calls.append("clear");
        items.clear();
        hasContents = true;
    }
    bool setString(const QString& text, bool transient) override {
        calls.append(QStringLiteral("setString %1%2").arg(text, transient ? " (transient)" : ""));
        items.push_back({{{plainTextType, text.toUtf8()}}, {}});
        return true;
    }
    bool writeObjects(const std::vector<PasteboardItemData>& written) override {
        calls.append(QStringLiteral("write %1").arg(written.size()));
        for (const PasteboardItemData& data : written) {
            Item item;
            for (const auto& [type, bytes] : data)
                item.types.emplace_back(type, bytes);
            items.push_back(item);
        }
        return true;
    }
    quint64 fetchCount() const override { return fetches; }

    // Another application takes the contents.
    void fetch() { ++fetches; }
    QString text() const {
        for (const Item& item : items)
            for (const auto& [type, bytes] : item.types)
                if (type == plainTextType)
                    return QString::fromUtf8(bytes);
        return {};
    }

    std::vector<Item> items;
    bool hasContents = true;
    quint64 fetches = 0;
    QStringList calls;

private:
    class Reader final : public PasteboardItem {
    public:
        explicit Reader(Item item) : item_(std::move(item)) {}
        QStringList types() const override {
            QStringList t;
            for (const auto& [type, bytes] : item_.types)
                t.append(type);
            return t;
        }
        std::optional<QByteArray> data(const QString& type) const override {
            if (item_.unreadable.contains(type))
                return std::nullopt;
            for (const auto& [t, bytes] : item_.types)
                if (t == type)
                    return bytes;
            return std::nullopt;
        }

    private:
        Item item_;
    };
};
