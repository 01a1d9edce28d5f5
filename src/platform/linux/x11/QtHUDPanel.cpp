#include "QtHUDPanel.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include <X11/Xlib.h>

QRect QtHUDPanel::frameOn(const QRect& screen, const QSize& size) {
    const int x = screen.left() + screen.width() / 2 - size.width() / 2;
    const int y = screen.top() + screen.height() - 100 - size.height();
    return QRect(QPoint(x, y), size);
}

namespace {

// Keeps the window on its place as its content grows and shrinks: centred, its bottom edge
// where it was.
class FollowContentSize final : public QObject {
public:
    FollowContentSize(QWidget* window, QScreen* screen)
        : QObject(window), window_(window), screen_(screen) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize && screen_)
            window_->setGeometry(
                QtHUDPanel::frameOn(screen_->geometry(), static_cast<QWidget*>(watched)->size()));
        return false;
    }

private:
    QWidget* const window_;
    const QPointer<QScreen> screen_;
};

} // namespace

bool QtHUDPanel::compositorRunning(Display* display) {
    if (!display)
        return false;
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(display));
    return XGetSelectionOwner(display, XInternAtom(display, name.constData(), False)) != None;
}

std::unique_ptr<HUDPanel> QtHUDPanel::create(QWidget* content) {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        const auto screens = QGuiApplication::screens();
        screen = screens.isEmpty() ? nullptr : screens.first();
    }
    if (!screen) {
        delete content;
        return nullptr;
    }
    return std::unique_ptr<HUDPanel>(new QtHUDPanel(content, screen));
}

QtHUDPanel::QtHUDPanel(QWidget* content, QScreen* screen) : window_(std::make_unique<QWidget>()) {
    // A popup the window manager leaves alone: no decoration, no focus, every workspace, on top.
    // Named for window lists and screen readers, which otherwise call it after the program.
    window_->setWindowTitle(QStringLiteral("Mirvo HUD"));
    window_->setWindowFlags(Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                            Qt::WindowDoesNotAcceptFocus | Qt::WindowTransparentForInput);
    window_->setAttribute(Qt::WA_ShowWithoutActivating);
    window_->setAttribute(Qt::WA_TranslucentBackground);
    window_->setAttribute(Qt::WA_TransparentForMouseEvents);
    window_->setFocusPolicy(Qt::NoFocus);
    window_->setGeometry(frameOn(screen->geometry(), content->size()));
    content->installEventFilter(new FollowContentSize(window_.get(), screen));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content);
    window_->setWindowOpacity(0);

    fade_.setTargetObject(window_.get());
    fade_.setPropertyName("windowOpacity");
    QObject::connect(&fade_, &QPropertyAnimation::finished, [this] { endFade(); });
}

QtHUDPanel::~QtHUDPanel() {
    fade_.stop();
}

void QtHUDPanel::endFade() {
    if (auto completion = std::exchange(fadeCompletion_, nullptr))
        completion();
}

void QtHUDPanel::setIgnoresMouseEvents(bool ignores) {
    window_->setAttribute(Qt::WA_TransparentForMouseEvents, ignores);
    if (QWindow* handle = window_->windowHandle())
        handle->setFlag(Qt::WindowTransparentForInput, ignores);
    else
        window_->setWindowFlag(Qt::WindowTransparentForInput, ignores);
}

double QtHUDPanel::alpha() const {
    return window_->windowOpacity();
}

void QtHUDPanel::setAlpha(double alpha) {
    if (fade_.state() == QAbstractAnimation::Running) {
        fade_.stop(); // a superseded fade still completes
        endFade();
    }
    window_->setWindowOpacity(alpha);
}

bool QtHUDPanel::isVisible() const {
    return window_->isVisible();
}

void QtHUDPanel::showWithoutFocus() {
    window_->show();
    window_->raise();
}

void QtHUDPanel::animateAlpha(double target, double seconds, std::function<void()> completion) {
    if (fade_.state() == QAbstractAnimation::Running) {
        fade_.stop();
        endFade();
    }
    fadeCompletion_ = std::move(completion);
    fade_.setStartValue(window_->windowOpacity());
    fade_.setEndValue(target);
    fade_.setDuration(int(seconds * 1000));
    fade_.start();
}

void QtHUDPanel::orderOut() {
    window_->hide();
}
