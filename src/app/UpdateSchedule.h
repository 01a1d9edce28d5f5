#pragma once

#include "core/UpdateChecker.h"

#include <QCoro/QCoroTask>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>

class HTTPSession;
class PlatformServices;
class QAction;
class UpdateWindowController;
class UserDefaults;

// The application's update duties: a check soon after launch and then daily, the menu item that
// announces a newer release, the alert of a check the user asked for, and the window shown after
// a dictation, once per launch. Main thread only.
class UpdateSchedule final : public std::enable_shared_from_this<UpdateSchedule> {
public:
    // `menuItem` (owned by the menu) shows the pending release; `timing` in seconds.
    UpdateSchedule(PlatformServices& platform, std::shared_ptr<UserDefaults> defaults,
                   QUrl manifestURL, QAction* menuItem, double firstCheck, double interval);
    ~UpdateSchedule();

    void start();
    // One check; a manual one (`notifyIfUpToDate`) answers with an alert either way.
    QCoro::Task<> check(bool notifyIfUpToDate);
    void openPendingUpdate();
    void showWindowIfNeeded();

    const std::optional<UpdateInfo>& pendingUpdate() const { return pendingUpdate_; }
    UpdateWindowController* window() const { return window_.get(); }

private:
    void refreshMenuItem();

    PlatformServices& platform_;
    const std::shared_ptr<UserDefaults> defaults_;
    const QUrl manifestURL_;
    QAction* const menuItem_;
    const double firstCheck_;
    const double interval_;
    std::shared_ptr<HTTPSession> http_;
    std::optional<UpdateInfo> pendingUpdate_;
    std::shared_ptr<UpdateWindowController> window_;
    bool windowShownThisLaunch_ = false;
    QTimer timer_;
};
