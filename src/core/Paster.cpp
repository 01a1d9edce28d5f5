#include "Paster.h"

#include "common/Log.h"
#include "common/MirvoError.h"
#include "platform/KeyboardEvents.h"
#include "platform/Pasteboard.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

struct PasteboardPaster::PendingRestore {
    Snapshot snapshot;
    quint64 fetchesAtWrite = 0;
    QElapsedTimer sinceChord;
    std::unique_ptr<QTimer> timer;
};

PasteboardPaster::PasteboardPaster(std::shared_ptr<Pasteboard> pasteboard,
                                   std::shared_ptr<KeyboardEvents> keyboard, double restoreDelay,
                                   double fetchWait)
    : pasteboard_(std::move(pasteboard)), keyboard_(std::move(keyboard)),
      restoreDelay_(restoreDelay), fetchWait_(fetchWait) {}

PasteboardPaster::~PasteboardPaster() {
    // Put the user's contents back now rather than never.
    restorePendingNow();
}

bool PasteboardPaster::restorePendingNow() {
    const auto pending = std::exchange(pending_, nullptr);
    if (!pending)
        return false;
    pending->timer->stop();
    restore(pending->snapshot, *pasteboard_);
    return true;
}

void PasteboardPaster::finishPending() {
    if (restorePendingNow())
        mirvoLog(QStringLiteral("[Mirvo] clipboard restored before quitting"));
    // What Mirvo holds on the clipboard, the user's restored contents among it, outlives it.
    pasteboard_->keepAfterExit();
}

PasteOutcome PasteboardPaster::paste(const QString& text) {
    const std::optional<QString> target = keyboard_->focusedApplication();
    lastTarget_ = target.value_or(QString());
    if (!target)
        return PasteOutcome::noTarget;
    // An earlier paste still waiting holds the user's contents: carry them over.
    std::shared_ptr<PendingRestore> pending = std::exchange(pending_, nullptr);
    if (pending)
        pending->timer->stop();
    else {
        pending = std::make_shared<PendingRestore>();
        pending->snapshot = snapshot(*pasteboard_);
    }

    pasteboard_->clearContents();
    if (!pasteboard_->setString(text, true)) {
        // The chord would paste whatever the clipboard holds now.
        restore(pending->snapshot, *pasteboard_);
        return PasteOutcome::failed;
    }
    pending->fetchesAtWrite = pasteboard_->fetchCount();
    keyboard_->postPasteChord();
    pending->sinceChord.start();

    pending_ = pending;
    pending->timer = std::make_unique<QTimer>();
    pending->timer->setTimerType(Qt::PreciseTimer);
    pending->timer->setInterval(int(restoreDelay_ * 1000));
    QObject::connect(
        pending->timer.get(), &QTimer::timeout, pending->timer.get(), [this, raw = pending.get()] {
            const bool fetched = pasteboard_->fetchCount() > raw->fetchesAtWrite;
            const bool waitedEnough = raw->sinceChord.elapsed() >= qint64(fetchWait_ * 1000);
            if (!fetched && !waitedEnough) {
                raw->timer->setInterval(50);
                return;
            }
            raw->timer->stop();
            auto done = std::exchange(pending_, nullptr);
            restore(done->snapshot, *pasteboard_);
            // `done` (and this timer) go once the event loop is back.
            QTimer::singleShot(0, [done] {});
        });
    pending->timer->start();
    return PasteOutcome::pasted;
}

void PasteboardPaster::prepare() {
    keyboard_->prepare();
}

std::optional<QString> PasteboardPaster::focusedApplication() const {
    return keyboard_->focusedApplication();
}

PasteOutcome PasteboardPaster::copyForUser(const QString& text) {
    // A restore still pending would put the user's contents back over the text later.
    if (const auto pending = std::exchange(pending_, nullptr)) {
        pending->timer->stop();
        restore(pending->snapshot, *pasteboard_);
    }
    pasteboard_->clearContents();
    return pasteboard_->setString(text) ? PasteOutcome::copiedForUser : PasteOutcome::failed;
}

PasteboardPaster::Snapshot PasteboardPaster::snapshot(Pasteboard& pasteboard) {
    Snapshot snapshot;
    try {
        auto items = pasteboard.pasteboardItems();
        if (!items)
            return snapshot;
        for (const auto& item : *items) {
            std::map<QString, QByteArray> entry;
            for (const QString& type : item->types())
                if (auto data = item->data(type))
                    entry[type] = *data;
            snapshot.items.push_back(std::move(entry));
        }
    } catch (const MirvoError& e) {
        mirvoLog(QStringLiteral("[Mirvo] cannot read the clipboard in full: ") + e.reason(),
                 LogLevel::warning);
        snapshot.complete = false;
    }
    return snapshot;
}

void PasteboardPaster::restore(const Snapshot& snapshot, Pasteboard& pasteboard) {
    if (!snapshot.complete) {
        mirvoLog(QStringLiteral("[Mirvo] clipboard left as it is: what it held before could not "
                                "be read, so the dictated text stays on it"));
        return;
    }
    pasteboard.clearContents();
    if (!snapshot.items.empty())
        pasteboard.writeObjects(snapshot.items);
}

PasteboardOnlyPaster::PasteboardOnlyPaster(std::shared_ptr<Pasteboard> pasteboard)
    : pasteboard_(std::move(pasteboard)) {}

PasteOutcome PasteboardOnlyPaster::paste(const QString& text) {
    pasteboard_->clearContents();
    if (!pasteboard_->setString(text))
        return PasteOutcome::failed;
    return PasteOutcome::pasted;
}

ClipboardHandoffPaster::ClipboardHandoffPaster(std::shared_ptr<Pasteboard> pasteboard,
                                               std::function<void(const QString&)> tellUser)
    : pasteboard_(std::move(pasteboard)), tellUser_(std::move(tellUser)) {}

PasteOutcome ClipboardHandoffPaster::paste(const QString& text) {
    pasteboard_->clearContents();
    if (!pasteboard_->setString(text))
        return PasteOutcome::failed;
    mirvoLog(QStringLiteral("[Mirvo] left on the clipboard: this desktop takes no paste chord"));
    tellUser_(copiedMessage);
    return PasteOutcome::copiedForUser;
}

AllowedChordPaster::AllowedChordPaster(std::shared_ptr<Pasteboard> pasteboard,
                                       std::shared_ptr<KeyboardEvents> keyboard,
                                       std::function<void(const QString&)> tellUser)
    : keyboard_(keyboard), chord_(pasteboard, keyboard), handoff_(pasteboard, std::move(tellUser)) {
}

PasteOutcome AllowedChordPaster::paste(const QString& text) {
    if (keyboard_->canPostPasteChord())
        return chord_.paste(text);
    // A restore still pending would put the user's contents back over the text later.
    chord_.finishPending();
    return handoff_.paste(text);
}
