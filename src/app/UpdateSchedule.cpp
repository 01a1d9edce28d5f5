#include "UpdateSchedule.h"

#include "gui/UpdateWindow.h"
#include "platform/HTTPSession.h"
#include "platform/PlatformServices.h"

#include <QAction>
#include <QCoro/QCoroSignal>
#include <QMessageBox>

UpdateSchedule::UpdateSchedule(PlatformServices& platform, std::shared_ptr<UserDefaults> defaults,
                               QUrl manifestURL, QAction* menuItem, double firstCheck,
                               double interval)
    : platform_(platform), defaults_(std::move(defaults)), manifestURL_(std::move(manifestURL)),
      menuItem_(menuItem), firstCheck_(firstCheck), interval_(interval) {}

UpdateSchedule::~UpdateSchedule() = default;

void UpdateSchedule::start() {
    std::weak_ptr<UpdateSchedule> weak = weak_from_this();
    const auto check = [weak] {
        if (auto self = weak.lock())
            self->check(false);
    };
    QTimer::singleShot(int(firstCheck_ * 1000), &timer_, check);
    timer_.setInterval(int(interval_ * 1000));
    QObject::connect(&timer_, &QTimer::timeout, check);
    timer_.start();
}

QCoro::Task<> UpdateSchedule::check(bool notifyIfUpToDate) {
    const auto self = shared_from_this(); // the check outlives no schedule
    if (!http_)
        http_ = platform_.makeHTTPSession();
    const UpdateCheckResult result =
        co_await UpdateChecker::check(manifestURL_, http_, defaults_, std::nullopt);
    pendingUpdate_ = result.update;
    refreshMenuItem();
    if (!notifyIfUpToDate)
        co_return;
    const std::optional<UpdateAlert> alert = manualCheckAlert(result);
    if (!alert)
        co_return;
    auto* box = new QMessageBox(alert->isWarning ? QMessageBox::Warning : QMessageBox::Information,
                                QStringLiteral("Mirvo"), alert->messageText, QMessageBox::Ok);
    box->setInformativeText(alert->informativeText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->open();
    co_await qCoro(box, &QMessageBox::finished);
}

void UpdateSchedule::refreshMenuItem() {
    menuItem_->setText(pendingUpdate_ ? QStringLiteral("Mirvo ") + pendingUpdate_->remoteVersion +
                                            QStringLiteral(" is available · Download")
                                      : QString());
    menuItem_->setVisible(pendingUpdate_.has_value());
}

void UpdateSchedule::openPendingUpdate() {
    if (pendingUpdate_)
        openURLOrSay(platform_, pendingUpdate_->downloadUrl);
}

void UpdateSchedule::showWindowIfNeeded() {
    if (windowShownThisLaunch_ || !pendingUpdate_ || window_)
        return;
    windowShownThisLaunch_ = true;
    std::weak_ptr<UpdateSchedule> weak = weak_from_this();
    const UpdateInfo info = *pendingUpdate_;
    window_ = std::make_shared<UpdateWindowController>(
        info,
        [weak, url = info.downloadUrl] {
            const auto self = weak.lock();
            if (!self)
                return;
            openURLOrSay(self->platform_, url);
            if (self->window_)
                self->window_->close();
            self->window_.reset();
        },
        [weak] {
            if (auto self = weak.lock())
                self->window_.reset();
        });
    window_->show();
}
