#include "OnboardingWindow.h"

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

namespace {

QColor secondaryColor(const QWidget& widget, double opacity = 0.55) {
    QColor c = widget.palette().color(QPalette::WindowText);
    c.setAlphaF(opacity);
    return c;
}

QLabel* label(const QString& text, int pixelSize, QFont::Weight weight, bool secondary,
              QWidget* parent) {
    auto* l = new QLabel(text, parent);
    QFont font = l->font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    l->setFont(font);
    l->setWordWrap(true);
    l->setTextFormat(Qt::PlainText);
    if (secondary) {
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, secondaryColor(*l));
        l->setPalette(p);
    }
    return l;
}

enum class ButtonStyle { plain, prominent };

QPushButton* smallButton(const QString& text, ButtonStyle style, std::function<void()> action,
                         QWidget* parent) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(text);
    b->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    b->setCursor(Qt::PointingHandCursor);
    b->setStyleSheet(
        style == ButtonStyle::prominent
            ? QStringLiteral("QPushButton { font-size: 11px; padding: 3px 10px; border: none; "
                             "border-radius: 5px; background: palette(highlight); "
                             "color: palette(highlighted-text); }"
                             "QPushButton:pressed { background: palette(dark); }")
            : QStringLiteral("QPushButton { font-size: 11px; padding: 2px 10px; "
                             "border: 1px solid palette(mid); border-radius: 5px; "
                             "background: palette(button); color: palette(button-text); }"
                             "QPushButton:pressed { background: palette(midlight); }"));
    QObject::connect(b, &QPushButton::clicked, b, [action = std::move(action)] {
        if (action)
            action();
    });
    return b;
}

// The card's layout: badge, then the texts (`spacing` apart), then the flexible space.
QVBoxLayout* cardLayout(QWidget* card, OnboardingStatusBadge* badge, int spacing) {
    auto* row = new QHBoxLayout(card);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(12);
    row->setAlignment(Qt::AlignTop);
    auto* badgeColumn = new QVBoxLayout;
    badgeColumn->setContentsMargins(0, 2, 0, 0);
    badgeColumn->addWidget(badge);
    badgeColumn->addStretch();
    row->addLayout(badgeColumn);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(spacing);
    row->addLayout(texts, 1);
    return texts;
}

// The try-it box's rounded field.
class TextBoxFrame final : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF r = QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25);
        p.setBrush(palette().color(QPalette::Base));
        p.setPen(QPen(secondaryColor(*this, 0.25), 0.5));
        p.drawRoundedRect(r, 6, 6);
    }
};

class IconView final : public QWidget {
public:
    explicit IconView(QWidget* parent) : QWidget(parent) { setFixedSize(32, 32); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        MirvoIcon::draw(p, QRectF(rect()));
    }
};

} // namespace

OnboardingStatusBadge::OnboardingStatusBadge(QWidget* parent) : QWidget(parent) {
    setFixedSize(18, 18);
}

void OnboardingStatusBadge::setStatus(OnboardingStepStatus status) {
    if (status == status_)
        return;
    status_ = status;
    update();
}

void OnboardingStatusBadge::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    if (status_ == OnboardingStepStatus::pending) {
        p.setPen(QPen(secondaryColor(*this), 1.5));
        p.drawEllipse(r);
        return;
    }
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(52, 199, 89));
    p.drawEllipse(r);
    QPainterPath check;
    check.moveTo(r.left() + r.width() * 0.27, r.top() + r.height() * 0.53);
    check.lineTo(r.left() + r.width() * 0.44, r.top() + r.height() * 0.70);
    check.lineTo(r.left() + r.width() * 0.74, r.top() + r.height() * 0.34);
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(check);
}

void OnboardingCard::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor fill = palette().color(QPalette::Base);
    fill.setAlphaF(0.7);
    p.setBrush(fill);
    p.setPen(QPen(secondaryColor(*this, 0.15), 0.5));
    p.drawRoundedRect(QRectF(rect()).adjusted(0.25, 0.25, -0.25, -0.25), 10, 10);
}

OnboardingRow::OnboardingRow(OnboardingStep step, const OnboardingTexts& texts,
                             std::function<void()> onAction, std::function<void()> onConfirmManual,
                             std::function<void()> onRestart, QWidget* parent)
    : OnboardingCard(parent), step_(step), badge_(new OnboardingStatusBadge(this)),
      title_(label(texts.title(step), 13, QFont::DemiBold, false, this)),
      description_(label(texts.description(step), 11, QFont::Normal, true, this)),
      buttons_(new QWidget(this)) {
    setObjectName(rawValue(step));
    QVBoxLayout* column = cardLayout(this, badge_, 3);
    column->addWidget(title_);
    column->addWidget(description_);

    auto* buttons = new QHBoxLayout(buttons_);
    buttons->setContentsMargins(0, 3, 0, 0);
    buttons->setSpacing(8);
    const OnboardingStepInfo& info = infoOf(step);
    if (info.button)
        buttons->addWidget(smallButton(
            QString::fromUtf8(info.button),
            info.prominentButton ? ButtonStyle::prominent : ButtonStyle::plain, onAction, this));
    if (info.manual)
        buttons->addWidget(smallButton(QStringLiteral("I've done this"), ButtonStyle::prominent,
                                       onConfirmManual, this));
    if (step == OnboardingStep::accessibility) {
        QPushButton* restart =
            smallButton(QStringLiteral("Restart Mirvo"), ButtonStyle::plain, onRestart, this);
        restart->setToolTip(QStringLiteral("What the desktop offers Mirvo is looked at when it "
                                           "starts"));
        buttons->addWidget(restart);
    }
    buttons->addStretch();
    column->addWidget(buttons_);
}

void OnboardingRow::setTexts(const OnboardingTexts& texts) {
    title_->setText(texts.title(step_));
    description_->setText(texts.description(step_));
}

void OnboardingRow::setStatus(OnboardingStepStatus status) {
    badge_->setStatus(status);
    buttons_->setVisible(status == OnboardingStepStatus::pending);
}

FnDemoRow::FnDemoRow(OnboardingViewModel& model, const OnboardingTexts& texts,
                     std::function<void()> onConfirm, QWidget* parent)
    : OnboardingCard(parent), model_(model), texts_(texts),
      title_(label(texts.title(OnboardingStep::fnKeyDemo), 13, QFont::DemiBold, false, this)),
      description_(
          label(texts.description(OnboardingStep::fnKeyDemo), 11, QFont::Normal, true, this)),
      onConfirm_(std::move(onConfirm)), badge_(new OnboardingStatusBadge(this)),
      box_(new TextBoxFrame(this)), textBox_(new QLineEdit(box_)) {
    setObjectName(rawValue(OnboardingStep::fnKeyDemo));
    QVBoxLayout* column = cardLayout(this, badge_, 6);
    column->addWidget(title_);
    column->addWidget(description_);

    auto* boxLayout = new QHBoxLayout(box_);
    boxLayout->setContentsMargins(10, 7, 10, 7);
    boxLayout->addWidget(textBox_);
    textBox_->setFrame(false);
    textBox_->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; font-size: "
                                           "12px; }"));
    box_->setGraphicsEffect(new QGraphicsOpacityEffect(box_));
    column->addWidget(box_);

    markDone_ = smallButton(
        QStringLiteral("Mark as done"), ButtonStyle::plain, [this] { onConfirm_(); }, this);
    auto* markRow = new QHBoxLayout;
    markRow->setContentsMargins(0, 2, 0, 0);
    markRow->addWidget(markDone_);
    markRow->addStretch();
    column->addLayout(markRow);

    // Two-way: what is typed goes to the model; what the model gets shows in the box.
    QObject::connect(textBox_, &QLineEdit::textEdited, this,
                     [this](const QString& text) { model_.setDemoText(text); });
    QObject::connect(&model_, &OnboardingViewModel::demoTextChanged, this,
                     [this] { textChanged(); });
    textBox_->setText(model_.demoText());
    setDemoReady(false);
}

void FnDemoRow::textChanged() {
    if (textBox_->text() != model_.demoText())
        textBox_->setText(model_.demoText());
    if (status_ == OnboardingStepStatus::pending && !model_.demoText().trimmed().isEmpty())
        onConfirm_();
}

void FnDemoRow::setStatus(OnboardingStepStatus status) {
    status_ = status;
    badge_->setStatus(status);
    markDone_->setVisible(status == OnboardingStepStatus::pending);
}

void FnDemoRow::setTexts(const OnboardingTexts& texts) {
    texts_ = texts;
    title_->setText(texts.title(OnboardingStep::fnKeyDemo));
    description_->setText(texts.description(OnboardingStep::fnKeyDemo));
    textBox_->setPlaceholderText(texts.demoPrompt(ready_));
}

void FnDemoRow::setDemoReady(bool ready) {
    ready_ = ready;
    textBox_->setPlaceholderText(texts_.demoPrompt(ready));
    textBox_->setEnabled(ready);
    static_cast<QGraphicsOpacityEffect*>(box_->graphicsEffect())->setOpacity(ready ? 1.0 : 0.5);
}

OnboardingView::OnboardingView(OnboardingViewModel& model, const OnboardingTexts& texts,
                               OnboardingViewCallbacks callbacks, QWidget* parent)
    : QWidget(parent), model_(model), texts_(texts), callbacks_(std::move(callbacks)) {
    setFixedWidth(width);
    setAutoFillBackground(true);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    auto* header = new QVBoxLayout;
    header->setContentsMargins(24, 18, 24, 10);
    header->setSpacing(4);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(10);
    titleRow->addWidget(new IconView(this), 0, Qt::AlignVCenter);
    titleRow->addWidget(label(QStringLiteral("Welcome to Mirvo"), 22, QFont::Bold, false, this), 1,
                        Qt::AlignVCenter);
    header->addLayout(titleRow);
    header_ = label(texts.header(), 12, QFont::Normal, true, this);
    header->addWidget(header_);
    stack->addLayout(header);

    auto* steps = new QVBoxLayout;
    steps->setContentsMargins(24, 4, 24, 0);
    steps->setSpacing(10);
    for (const OnboardingStepInfo& info : onboardingSteps) {
        const OnboardingStep step = info.step;
        if (step == OnboardingStep::fnKeyDemo) {
            demoRow_ = new FnDemoRow(model_, texts, callbacks_.onConfirmDemo, this);
            steps->addWidget(demoRow_);
            continue;
        }
        auto* row = new OnboardingRow(
            step, texts, [this, step] { callbacks_.onOpenSettings(step); }, callbacks_.onConfirmFn,
            callbacks_.onRestart, this);
        rows_.emplace_back(step, row);
        steps->addWidget(row);
    }
    stack->addLayout(steps);

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(24, 12, 24, 12);
    footer->addStretch();
    continueButton_ = new QPushButton(QStringLiteral("Start dictating"), this);
    continueButton_->setDefault(true);
    continueButton_->setStyleSheet(
        QStringLiteral("QPushButton { font-size: 13px; padding: 5px 16px; border: none; "
                       "border-radius: 6px; background: palette(highlight); "
                       "color: palette(highlighted-text); }"
                       "QPushButton:disabled { background: palette(midlight); "
                       "color: palette(mid); }"));
    QObject::connect(continueButton_, &QPushButton::clicked, this, [this] {
        if (callbacks_.onContinue)
            callbacks_.onContinue();
    });
    footer->addWidget(continueButton_);
    stack->addLayout(footer);
    stack->addStretch();

    // Return finishes, as a window's default button does.
    for (const QKeySequence& key : {QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)}) {
        auto* shortcut = new QShortcut(key, this);
        QObject::connect(shortcut, &QShortcut::activated, continueButton_, [this] {
            if (continueButton_->isEnabled())
                continueButton_->click();
        });
    }
    QObject::connect(&model_, &OnboardingViewModel::stateChanged, this, [this] { apply(); });
    // What the desktop lacks can change while the window is open (a package installed), and a
    // desktop's shortcut gets its keys once Mirvo has asked for it.
    QObject::connect(&model_, &OnboardingViewModel::keyTextsChanged, this, [this] {
        texts_.holdKey = model_.holdKey();
        texts_.keyStep = model_.keyStep();
        header_->setText(texts_.header());
        for (const auto& [step, row] : rows_)
            row->setTexts(texts_);
        demoRow_->setTexts(texts_);
    });
    apply();
}

void OnboardingView::apply() {
    const OnboardingState& state = model_.state();
    for (const auto& [step, row] : rows_)
        row->setStatus(state[step]);
    demoRow_->setStatus(state.fnKeyDemo);
    demoRow_->setDemoReady(state.demoReady());
    continueButton_->setEnabled(state.allGranted());
}

QSize OnboardingView::fittingSize() const {
    return {width, layout()->totalHeightForWidth(width)};
}

// The checklist window. Closing it only hides it; its owner hears of both.
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
        // Nobody grants these on Linux: they are asked again, and the help says what to install
        // or fix.
        [](std::shared_ptr<OnboardingWindowController> self, OnboardingStep step) -> QCoro::Task<> {
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
