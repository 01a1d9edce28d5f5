#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// How a delivery ended.
enum class PasteOutcome {
    pasted,        // the paste chord went to the focused application
    copiedForUser, // the text is on the clipboard for the user to paste
    failed,        // the text could not be put on the clipboard: nothing was pasted
    noTarget,      // no window had the keyboard focus: nothing was pasted
};

// Delivers the final text of a dictation. Called on the main thread; never throws.
class Paster {
public:
    virtual ~Paster() = default;
    virtual PasteOutcome paste(const QString& text) = 0;
    // A dictation begins: what the paste needs from the desktop is asked for now.
    virtual void prepare() {}
    // Mirvo is about to end: finish at once whatever the last paste left to do.
    virtual void finishPending() {}
    // The application the last paste went to; empty when the platform cannot tell.
    virtual QString lastTarget() const { return {}; }
    // The application with the keyboard focus now: empty when the platform cannot tell, none
    // when no window has the focus.
    virtual std::optional<QString> focusedApplication() const { return QString(); }
    // Leaves the text on the clipboard for the user to paste where they choose.
    virtual PasteOutcome copyForUser(const QString& text) = 0;
};

class KeyboardEvents;
class Pasteboard;
class QTimer;

// Pastes by way of the clipboard: saves it, puts the text on it, posts the paste chord and puts
// the saved contents back.
//
// The saved contents go back no earlier than `restoreDelay` after the chord and only once
// another application has fetched the text, or after `fetchWait` at the latest: an X11
// application fetches the clipboard only when it handles the keystroke, and a busy one would
// otherwise paste the old contents and lose the dictation. A paste that starts while an earlier
// restore is still pending takes over that restore, so the user's own contents come back, not
// the earlier dictation. A copy that fails sends no chord (it would paste whatever the
// clipboard held) and puts the user's contents back at once. A snapshot that could not read the
// clipboard in full is never restored: the dictated text then stays rather than the user's
// contents being wiped. With no window focused there is nothing to paste into: the clipboard is
// left alone.
class PasteboardPaster final : public Paster {
public:
    PasteboardPaster(std::shared_ptr<Pasteboard> pasteboard,
                     std::shared_ptr<KeyboardEvents> keyboard, double restoreDelay = 0.3,
                     double fetchWait = 2.0);
    ~PasteboardPaster() override;

    PasteOutcome paste(const QString& text) override;
    void prepare() override;
    // Puts the user's contents back now if a restore is pending.
    void finishPending() override;
    QString lastTarget() const override { return lastTarget_; }
    std::optional<QString> focusedApplication() const override;
    PasteOutcome copyForUser(const QString& text) override;

    struct Snapshot {
        std::vector<std::map<QString, QByteArray>> items;
        // False when reading the clipboard failed (timed out, too large): restoring it would
        // lose what it held.
        bool complete = true;
    };
    static Snapshot snapshot(Pasteboard& pasteboard);
    static void restore(const Snapshot& snapshot, Pasteboard& pasteboard);

private:
    struct PendingRestore;

    // False when no restore was pending.
    bool restorePendingNow();

    const std::shared_ptr<Pasteboard> pasteboard_;
    const std::shared_ptr<KeyboardEvents> keyboard_;
    const double restoreDelay_;
    const double fetchWait_;
    std::shared_ptr<PendingRestore> pending_;
    QString lastTarget_;
};

// The test-mode paster: leaves the text on the clipboard and posts no keys.
class PasteboardOnlyPaster final : public Paster {
public:
    explicit PasteboardOnlyPaster(std::shared_ptr<Pasteboard> pasteboard);
    PasteOutcome paste(const QString& text) override;
    // The clipboard is where test mode delivers anyway.
    PasteOutcome copyForUser(const QString& text) override { return paste(text); }

private:
    const std::shared_ptr<Pasteboard> pasteboard_;
};

// For desktops where no application can be sent the paste chord (GNOME and KDE on Wayland):
// leaves the text on the clipboard and tells the user, once per dictation, to paste it.
class ClipboardHandoffPaster final : public Paster {
public:
    static inline const QString copiedMessage = QStringLiteral("Copied — press Ctrl+V");

    ClipboardHandoffPaster(std::shared_ptr<Pasteboard> pasteboard,
                           std::function<void(const QString&)> tellUser);
    PasteOutcome paste(const QString& text) override;
    PasteOutcome copyForUser(const QString& text) override { return paste(text); }

private:
    const std::shared_ptr<Pasteboard> pasteboard_;
    const std::function<void(const QString&)> tellUser_;
};

// For a desktop that posts the chord only once its user allowed it (GNOME's remote desktop):
// pastes while it is allowed, and leaves the text on the clipboard for the user otherwise.
class AllowedChordPaster final : public Paster {
public:
    AllowedChordPaster(std::shared_ptr<Pasteboard> pasteboard,
                       std::shared_ptr<KeyboardEvents> keyboard,
                       std::function<void(const QString&)> tellUser);
    PasteOutcome paste(const QString& text) override;
    void prepare() override { chord_.prepare(); }
    void finishPending() override { chord_.finishPending(); }
    QString lastTarget() const override { return chord_.lastTarget(); }
    std::optional<QString> focusedApplication() const override {
        return chord_.focusedApplication();
    }
    PasteOutcome copyForUser(const QString& text) override { return chord_.copyForUser(text); }

private:
    const std::shared_ptr<KeyboardEvents> keyboard_;
    PasteboardPaster chord_;
    ClipboardHandoffPaster handoff_;
};
