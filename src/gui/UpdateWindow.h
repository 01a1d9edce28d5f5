#pragma once

#include "core/UpdateChecker.h"

#include <QColor>
#include <QWidget>

#include <functional>
#include <memory>

class QPushButton;

// The update window's own palette.
namespace UpdateColors {
inline const QColor bg = QColor::fromRgbF(0.043f, 0.051f, 0.071f);
inline const QColor fg = QColor::fromRgbF(0.957f, 0.957f, 0.961f);
inline const QColor fgMuted = QColor::fromRgbF(0.796f, 0.808f, 0.839f);
inline const QColor fgSubtle = QColor::fromRgbF(0.612f, 0.627f, 0.675f);
inline const QColor coral = QColor::fromRgbF(1.0f, 0.341f, 0.204f);
inline const QColor coralDark = QColor::fromRgbF(0.78f, 0.2f, 0.102f);
} // namespace UpdateColors

// The alert a manual check ends with, when it found no update.
struct UpdateAlert {
    QString messageText;
    QString informativeText;
    bool isWarning = false;
    bool operator==(const UpdateAlert&) const = default;
};
// "You're up to date" for a check that worked; "Couldn't check for updates" and the reason for
// one that failed (which must not pass for up to date); none when there is an update.
std::optional<UpdateAlert> manualCheckAlert(const UpdateCheckResult& result);

// What the update window shows: the arrow, "Mirvo … is available", the running version, and
// the Download and Later buttons.
class UpdateView final : public QWidget {
    Q_OBJECT
public:
    UpdateView(const UpdateInfo& info, std::function<void()> onDownload,
               std::function<void()> onDismiss, QWidget* parent = nullptr);
    QPushButton* downloadButton() const { return download_; }
    QPushButton* laterButton() const { return later_; }

private:
    QPushButton* download_;
    QPushButton* later_;
};

// Owns the window that announces a newer release. Main thread only.
class UpdateWindowController final : public std::enable_shared_from_this<UpdateWindowController> {
public:
    static constexpr int width = 380;
    static constexpr int height = 340;

    // `onDownload`: the Download button. `onDismiss`: Later, after the window has gone.
    UpdateWindowController(UpdateInfo info, std::function<void()> onDownload,
                           std::function<void()> onDismiss);
    ~UpdateWindowController();

    // Creates and shows the window; nothing when it exists.
    void show();
    // Orders the window out and forgets it.
    void close();

    const UpdateInfo& info() const { return info_; }
    QWidget* window() const { return window_.get(); }

private:
    std::unique_ptr<QWidget> window_;
    const UpdateInfo info_;
    const std::function<void()> onDownload_;
    const std::function<void()> onDismiss_;
};
