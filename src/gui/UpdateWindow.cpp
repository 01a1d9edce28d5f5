#include "UpdateWindow.h"

#include "common/WindowPlacement.h"

#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// A filled coral circle with a downward arrow cut out of it.
class DownloadArrow final : public QWidget {
public:
    explicit DownloadArrow(QWidget* parent) : QWidget(parent) { setFixedSize(52, 52); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF circle = QRectF(rect()).adjusted(2, 2, -2, -2);
        p.setPen(Qt::NoPen);
        p.setBrush(UpdateColors::coral);
        p.drawEllipse(circle);
        const QPointF c = circle.center();
        const double r = circle.width() / 2;
        QPainterPath arrow;
        arrow.moveTo(c.x(), c.y() - r * 0.45);
        arrow.lineTo(c.x(), c.y() + r * 0.40);
        arrow.moveTo(c.x() - r * 0.33, c.y() + r * 0.07);
        arrow.lineTo(c.x(), c.y() + r * 0.40);
        arrow.lineTo(c.x() + r * 0.33, c.y() + r * 0.07);
        p.setPen(QPen(UpdateColors::bg, r * 0.16, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(arrow);
    }
};

QLabel* text(const QString& content, int pixelSize, QFont::Weight weight, const QColor& colour,
             QWidget* parent) {
    auto* label = new QLabel(content, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignHCenter);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

QString css(const QColor& colour) {
    return colour.name(QColor::HexRgb);
}

} // namespace

std::optional<UpdateAlert> manualCheckAlert(const UpdateCheckResult& result) {
    if (result.update)
        return std::nullopt;
    if (!result.failure.isEmpty())
        return UpdateAlert{QStringLiteral("Couldn't check for updates"), result.failure, true};
    return UpdateAlert{QStringLiteral("You're up to date"),
                       QStringLiteral("Mirvo ") + UpdateChecker::currentAppVersion() +
                           QStringLiteral(" is the latest version."),
                       false};
}

UpdateView::UpdateView(const UpdateInfo& info, std::function<void()> onDownload,
                       std::function<void()> onDismiss, QWidget* parent)
    : QWidget(parent), download_(new QPushButton(QStringLiteral("Download"), this)),
      later_(new QPushButton(QStringLiteral("Later"), this)) {
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, UpdateColors::bg);
    setPalette(palette);

    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    stack->addStretch(1);
    stack->addWidget(new DownloadArrow(this), 0, Qt::AlignHCenter);
    stack->addSpacing(20);
    stack->addWidget(
        text(QStringLiteral("Mirvo ") + info.remoteVersion + QStringLiteral(" is available"), 20,
             QFont::Bold, UpdateColors::fg, this));
    stack->addSpacing(8);
    QLabel* body = text(QStringLiteral("You're on ") + info.currentVersion +
                            QStringLiteral(". Download the latest version to get new features "
                                           "and fixes."),
                        13, QFont::Normal, UpdateColors::fgMuted, this);
    body->setContentsMargins(32, 0, 32, 0);
    // 2 px between lines, on top of the font's own line height.
    body->setText(QStringLiteral("<p style=\"line-height: %1px\">%2</p>")
                      .arg(body->fontMetrics().lineSpacing() + 2)
                      .arg(body->text().toHtmlEscaped()));
    body->setTextFormat(Qt::RichText);
    stack->addWidget(body);
    stack->addSpacing(28);

    download_->setFixedHeight(44);
    download_->setCursor(Qt::PointingHandCursor);
    download_->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: white; border: none; "
                       "border-radius: 10px; font-size: 14px; font-weight: 600; }")
            .arg(css(UpdateColors::coralDark)));
    auto* shadow = new QGraphicsDropShadowEffect(download_);
    QColor glow = UpdateColors::coral;
    glow.setAlphaF(0.25f);
    shadow->setColor(glow);
    shadow->setBlurRadius(24);
    shadow->setOffset(0, 4);
    download_->setGraphicsEffect(shadow);
    auto* downloadRow = new QHBoxLayout;
    downloadRow->setContentsMargins(40, 0, 40, 0);
    downloadRow->addWidget(download_);
    stack->addLayout(downloadRow);
    stack->addSpacing(12);

    later_->setFlat(true);
    later_->setCursor(Qt::PointingHandCursor);
    later_->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: none; "
                                         "color: %1; font-size: 12px; }")
                              .arg(css(UpdateColors::fgSubtle)));
    stack->addWidget(later_, 0, Qt::AlignHCenter);
    stack->addSpacing(32);

    connect(download_, &QPushButton::clicked, this, [onDownload = std::move(onDownload)] {
        if (onDownload)
            onDownload();
    });
    connect(later_, &QPushButton::clicked, this, [onDismiss = std::move(onDismiss)] {
        if (onDismiss)
            onDismiss();
    });
}

UpdateWindowController::UpdateWindowController(UpdateInfo info, std::function<void()> onDownload,
                                               std::function<void()> onDismiss)
    : info_(std::move(info)), onDownload_(std::move(onDownload)), onDismiss_(std::move(onDismiss)) {
}

UpdateWindowController::~UpdateWindowController() = default;

void UpdateWindowController::show() {
    if (window_)
        return;
    std::weak_ptr<UpdateWindowController> weak = weak_from_this();
    window_ =
        std::make_unique<QWidget>(nullptr, Qt::Window | Qt::CustomizeWindowHint |
                                               Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    auto* view = new UpdateView(
        info_,
        [weak] {
            if (auto self = weak.lock(); self && self->onDownload_)
                self->onDownload_();
        },
        [weak] {
            if (auto self = weak.lock()) {
                self->close();
                if (self->onDismiss_)
                    self->onDismiss_();
            }
        },
        window_.get());
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);

    window_->setWindowTitle(QStringLiteral("Mirvo"));
    QPalette palette = window_->palette();
    palette.setColor(QPalette::Window, UpdateColors::bg);
    window_->setPalette(palette);
    window_->setGeometry(centredOnMainScreen({width, height}));
    window_->setFixedSize(width, height);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void UpdateWindowController::close() {
    if (!window_)
        return;
    window_->hide();
    // The window may be the one whose button is being handled right now.
    window_.release()->deleteLater();
}
