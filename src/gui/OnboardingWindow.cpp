#include "OnboardingWindow.h"

#include "OnboardingView.h"

#include "MirvoIcon.h"
#include "common/Log.h"
#include "common/MainThread.h"
#include "common/WindowPlacement.h"
#include "platform/LoginItem.h"
#include "platform/PlatformServices.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

class OnboardingWindowController::Window final : public QWidget {
public:
    explicit Window(std::function<void()> onShownOrHidden)
        : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                               Qt::WindowCloseButtonHint),
          onShownOrHidden_(std::move(onShownOrHidden)) {}

protected:
    void closeEvent(QCloseEvent* event) override {
        event->accept();
        QTimer::singleShot(0, this, [this] { onShownOrHidden_(); });
    }

private:
    std::function<void()> onShownOrHidden_;
};

OnboardingWindowController::OnboardingWindowController(
    std::shared_ptr<OnboardingDetector> detector,
    std::shared_ptr<SystemOnboardingChecker> systemChecker,
    std::function<void()> onPermissionsReady, std::function<void()> onComplete, Timing timing)
    : detector_(std::move(detector)), systemChecker_(std::move(systemChecker)),
      onComplete_(std::move(onComplete)), onPermissionsReady_(std::move(onPermissionsReady)),
      timing_(timing) {}

OnboardingWindowController::~OnboardingWindowController() {
    stopAutoRefresh();
}

QWidget* OnboardingWindowController::window() const {
    return window_.get();
}

bool OnboardingWindowController::isOnScreen() const {
    return window_ && window_->isVisible();
}

void OnboardingWindowController::setDemoText(const QString& text) {
    model_.setDemoText(text);
}

QSize OnboardingWindowController::windowSize(QSize fitting, QSize screen) {
    QSize size(std::max(fitting.width(), minimumWidth), std::max(fitting.height(), minimumHeight));
    if (screen.isValid() && size.height() > screen.height())
        size.setHeight(screen.height());
    return size;
}

void OnboardingWindowController::show() {
    if (!window_) {
        std::weak_ptr<OnboardingWindowController> weak = weak_from_this();
        const auto withSelf = [weak](auto action) {
            return [weak, action] {
                if (auto self = weak.lock())
                    action(*self);
            };
        };
        OnboardingViewCallbacks callbacks;
        callbacks.onOpenSettings = [weak](OnboardingStep step) {
            if (auto self = weak.lock())
                self->openSettings(step);
        };
        callbacks.onConfirmFn = withSelf([](OnboardingWindowController& c) { c.confirmFn(); });
        callbacks.onConfirmDemo = withSelf([](OnboardingWindowController& c) { c.confirmDemo(); });
        callbacks.onContinue = withSelf([](OnboardingWindowController& c) {
            c.stopAutoRefresh();
            c.forgetWindow();
            if (c.onComplete_)
                c.onComplete_();
        });
        callbacks.onRestart = [] { restartApp(); };

        window_ = std::make_unique<Window>(
            withSelf([](OnboardingWindowController& c) { c.screenChanged(); }));
        const OnboardingTexts texts = systemChecker_->texts();
        model_.setKeyTexts(texts.holdKey, texts.keyStep);
        auto* view = new OnboardingView(model_, texts, std::move(callbacks), window_.get());
        auto* scroller = new QScrollArea(window_.get());
        scroller->setFrameShape(QFrame::NoFrame);
        scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        scroller->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
        scroller->setWidget(view);
        auto* layout = new QVBoxLayout(window_.get());
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(scroller);

        const QSize fitting = view->fittingSize();
        view->resize(fitting);
        QScreen* screen = mainScreen();
        QSize size = windowSize(fitting, screen ? screen->availableGeometry().size() : QSize());
        if (size.height() < fitting.height())
            size.rwidth() += scroller->style()->pixelMetric(QStyle::PM_ScrollBarExtent);
        window_->setGeometry(centredOnMainScreen(size));
        window_->setWindowTitle(QStringLiteral("Welcome to Mirvo"));
    }
    const bool wasOnScreen = window_->isVisible();
    bringToFront();
    if (!wasOnScreen)
        screenChanged();
    refresh();
    startAutoRefresh();
}

void OnboardingWindowController::bringToFront() {
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void OnboardingWindowController::close() {
    stopAutoRefresh();
    forgetWindow();
}

void OnboardingWindowController::forgetWindow() {
    if (!window_)
        return;
    window_->hide();
    // The window may be the one whose button is being handled right now.
    window_.release()->deleteLater();
    screenChanged();
}

void OnboardingWindowController::screenChanged() {
    if (onScreenChanged)
        onScreenChanged();
}

void OnboardingWindowController::refresh() {
    mirvoLog(QStringLiteral("[Mirvo/Onboarding] refresh() called"));
    refreshing(shared_from_this());
}

QCoro::Task<>
OnboardingWindowController::refreshing(std::shared_ptr<OnboardingWindowController> self) {
    self->model_.setIsRefreshing(true);
    const OnboardingState state = co_await self->detector_->evaluate();
    mirvoLog(QStringLiteral("[Mirvo/Onboarding] refresh() state → speech=%1 dictation=%2 ax=%3 "
                            "fn=%4 all=%5")
                 .arg(rawValue(state.speech), rawValue(state.dictation),
                      rawValue(state.accessibility), rawValue(state.fnKeyRemap),
                      boolText(state.allGranted())));
    self->model_.setState(state);
    const OnboardingTexts texts = self->systemChecker_->texts();
    self->model_.setKeyTexts(texts.holdKey, texts.keyStep);
    self->model_.setIsRefreshing(false);
    if (state.demoReady() && !self->permissionsReadyFired_) {
        self->permissionsReadyFired_ = true;
        mirvoLog(QStringLiteral("[Mirvo/Onboarding] permissionsReady → starting coordinator"));
        if (self->onPermissionsReady_)
            self->onPermissionsReady_();
    }
}

void OnboardingWindowController::startAutoRefresh() {
    stopAutoRefresh();
    mirvoLog(QStringLiteral("[Mirvo/Onboarding] startAutoRefresh — 1.2s poll + didBecomeActive"));
    std::weak_ptr<OnboardingWindowController> weak = weak_from_this();
    pollTimer_ = std::make_unique<QTimer>();
    pollTimer_->setInterval(int(timing_.pollInterval * 1000));
    QObject::connect(pollTimer_.get(), &QTimer::timeout, pollTimer_.get(), [weak] {
        mirvoLog(QStringLiteral("[Mirvo/Onboarding] pollTimer tick"));
        if (auto self = weak.lock())
            self->refresh();
    });
    pollTimer_->start();
    activationObserver_ = std::make_unique<QObject>();
    QObject::connect(qApp, &QGuiApplication::applicationStateChanged, activationObserver_.get(),
                     [weak](Qt::ApplicationState state) {
                         if (state != Qt::ApplicationActive)
                             return;
                         mirvoLog(QStringLiteral("[Mirvo/Onboarding] didBecomeActive"));
                         if (auto self = weak.lock())
                             self->refresh();
                     });
}

void OnboardingWindowController::stopAutoRefresh() {
    pollTimer_.reset();
    activationObserver_.reset();
}

void OnboardingWindowController::openSettings(OnboardingStep step) {
    mirvoLog(QStringLiteral("[Mirvo/Onboarding] openSettings(") + rawValue(step) +
             QLatin1Char(')'));
    switch (infoOf(step).action) {
    case OnboardingAction::askAgain:
        // Nobody grants these on Linux but GNOME the paste, which its dialog asks for: they are
        // asked again, and the help says what to install or fix.
        [](std::shared_ptr<OnboardingWindowController> self, OnboardingStep step) -> QCoro::Task<> {
            if (step == OnboardingStep::accessibility)
                co_await self->systemChecker_->platform().allowKeys();
            const bool ready = co_await infoOf(step).check(*self->systemChecker_);
            mirvoLog(QStringLiteral("[Mirvo/Checklist] %1 asked again: %2")
                         .arg(rawValue(step), boolText(ready)));
            if (!ready)
                self->openHelp(step);
            self->refresh();
        }(shared_from_this(), step);
        return;
    case OnboardingAction::enableLogin:
        mirvoLog(QStringLiteral("[Mirvo/Onboarding] setLaunchAtLogin(true) -> ") +
                 boolText(systemChecker_->loginItem().setEnabled(true)));
        break;
    case OnboardingAction::openHelp:
    case OnboardingAction::none:
        openHelp(step);
        break;
    }
    refreshLater();
}

void OnboardingWindowController::openHelp(OnboardingStep step) {
    if (const auto url = settingsURL(step, systemChecker_->platform().helpPageURL())) {
        mirvoLog(QStringLiteral("[Mirvo/Onboarding] opening URL ") + url->toString());
        openURLOrSay(systemChecker_->platform(), *url);
    }
}

void OnboardingWindowController::refreshLater() {
    std::weak_ptr<OnboardingWindowController> weak = weak_from_this();
    scheduleOnMain(std::make_shared<CancellableWork>([weak] {
                       if (auto self = weak.lock())
                           self->refresh();
                   }),
                   timing_.delayedRefresh);
}

void OnboardingWindowController::confirmFn() {
    systemChecker_->setFnKeyManuallyConfirmed(true);
    refresh();
}

void OnboardingWindowController::confirmDemo() {
    systemChecker_->setFnKeyDemoConfirmed(true);
    refresh();
}

void OnboardingWindowController::restartApp() {
    QProcess copy;
    copy.setProgram(QCoreApplication::applicationFilePath());
    copy.setArguments(QCoreApplication::arguments().mid(1));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(SingleInstance::restartedFromVariable),
                       QString::number(QCoreApplication::applicationPid()));
    copy.setProcessEnvironment(environment);
    if (!copy.startDetached()) {
        mirvoLog(QStringLiteral("[Mirvo] restart failed: ") + copy.errorString(), LogLevel::error);
        return;
    }
    QTimer::singleShot(200, qApp, [] { QCoreApplication::quit(); });
}
