#include "RecordingHUD.h"

#include "MirvoIcon.h"
#include "core/HUDWindowController.h"

#include <QDateTime>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

// The system red, at 85 %.
const QColor meterRed(255, 59, 48, int(0.85 * 255));
constexpr int heardPixelSize = 11;

} // namespace

std::array<double, 5> Waveform::barHeights(double level) {
    std::array<double, 5> heights{};
    for (size_t i = 0; i < heights.size(); ++i)
        heights[i] = 5 + 15 * std::clamp(level, 0.0, 1.0) * weights[i];
    return heights;
}

PulseDots::Dot PulseDots::dot(double t, int index) {
    const double p = t / 1.1 + 0.18 * index;
    const double f = p - std::trunc(p);
    const double wave = 1 - 2 * std::abs(f - 0.5);
    return {0.75 + 0.55 * wave, 0.4 + 0.6 * wave};
}

double PulseDots::frameTime() {
    // The reference date of the dots' phase: 2001-01-01 00:00:00 UTC.
    return double(QDateTime::currentMSecsSinceEpoch()) / 1000.0 - 978307200.0;
}

RecordingHUD::RecordingHUD(HUDModel& model, QWidget* parent)
    : QWidget(parent), model_(model), frameTimer_(new QTimer(this)) {
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(104, capsuleHeight);
    levelAnimation_.setDuration(80);
    levelAnimation_.setEasingCurve(QEasingCurve::OutQuad);
    connect(&levelAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
        shownLevel_ = v.toDouble();
        // The meter alone: the words under it stay as they are.
        update(meterRect());
    });
    connect(&model_, &HUDModel::levelChanged, this, [this](double level) {
        levelAnimation_.stop();
        levelAnimation_.setStartValue(shownLevel_);
        levelAnimation_.setEndValue(level);
        levelAnimation_.start();
    });
    connect(&model_, &HUDModel::modeChanged, this, &RecordingHUD::modeChanged);
    connect(&model_, &HUDModel::heardChanged, this, &RecordingHUD::modeChanged);
    frameTimer_->setInterval(16);
    frameTimer_->setTimerType(Qt::PreciseTimer);
    connect(frameTimer_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void RecordingHUD::setTranslucent(bool translucent) {
    translucent_ = translucent;
    update();
}

bool RecordingHUD::isAnimating() const {
    return frameTimer_->isActive();
}

void RecordingHUD::modeChanged() {
    // Words heard widen the capsule and add two lines under the meter.
    setFixedSize(model_.heard().isEmpty() ? QSize(104, capsuleHeight)
                                          : QSize(320, 2 * capsuleHeight));
    heardLines_.clear();
    if (!model_.heard().isEmpty()) {
        // The newest words matter while speaking: the older ones go first.
        const QFontMetricsF metrics(messageFont(heardPixelSize));
        const double width = heardRect().width();
        heardLines_ = wrapTwoLines(metrics.elidedText(model_.heard(), Qt::ElideLeft, 1.8 * width),
                                   metrics, width);
    }
    updateTimer();
    update();
}

void RecordingHUD::updateTimer() {
    if (isVisible() && model_.mode().kind == HUDMode::Kind::processing)
        frameTimer_->start();
    else
        frameTimer_->stop();
}

void RecordingHUD::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    updateTimer();
}

void RecordingHUD::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    frameTimer_->stop();
    levelAnimation_.stop();
}

QStringList wrapTwoLines(const QString& text, const QFontMetricsF& metrics, double width) {
    QStringList lines;
    QString rest = text;
    for (int line = 0; line < 2 && !rest.isEmpty(); ++line) {
        int fit = int(rest.size());
        // Break at the last space that fits, or inside a word too long for a line.
        while (fit > 0 && metrics.horizontalAdvance(rest.left(fit)) > width) {
            const int space = int(rest.left(fit).lastIndexOf(QLatin1Char(' ')));
            fit = space > 0 ? space : fit - 1;
        }
        if (line == 1 && fit < rest.size()) {
            lines.append(metrics.elidedText(rest, Qt::ElideRight, width));
            break;
        }
        fit = std::max(fit, 1);
        lines.append(rest.left(fit));
        rest = rest.mid(fit).trimmed();
    }
    return lines;
}

QRect RecordingHUD::meterRect() const {
    // Its five bars at their tallest, centred in the capsule's first line.
    return QRect(width() / 2 - 16, capsuleHeight / 2 - 12, 32, 24);
}

QRectF RecordingHUD::heardRect() const {
    return QRectF(rect()).adjusted(12, capsuleHeight - 6, -12, -6);
}

void RecordingHUD::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect());
    paintCapsule(painter, bounds);
    const QRectF content = bounds.adjusted(12, 0, -12, 0);
    switch (model_.mode().kind) {
    case HUDMode::Kind::listening:
        if (model_.heard().isEmpty()) {
            paintMeter(painter, content);
            break;
        }
        paintMeter(painter, content.adjusted(0, 0, 0, -(content.height() - capsuleHeight)));
        if (!meterRect().contains(event->rect()))
            paintLines(painter, heardRect(), heardPixelSize, heardLines_);
        break;
    case HUDMode::Kind::processing:
        // What it waits for, when there is more to say than the dots, in a smaller hand: the
        // capsule keeps its size.
        if (model_.mode().message.isEmpty())
            paintDots(painter, content);
        else
            paintMessage(painter, content.adjusted(-4, 0, 4, 0), 10, model_.mode().message);
        break;
    case HUDMode::Kind::error:
        paintError(painter, content);
        break;
    }
}

void RecordingHUD::paintCapsule(QPainter& painter, const QRectF& bounds) const {
    // The capsule and its hairline border, drawn inside the edge.
    const double radius = capsuleHeight / 2.0;
    QPainterPath capsule;
    capsule.addRoundedRect(bounds, radius, radius);
    painter.fillPath(capsule, translucent_ ? QColor(28, 28, 32, 200) : QColor(28, 28, 32));
    const QRectF inner = bounds.adjusted(0.25, 0.25, -0.25, -0.25);
    painter.setPen(QPen(QColor(255, 255, 255, int(0.12 * 255)), 0.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(inner, radius - 0.25, radius - 0.25);
    painter.setPen(Qt::NoPen);
}

void RecordingHUD::paintMeter(QPainter& painter, const QRectF& content) const {
    const auto heights = Waveform::barHeights(shownLevel_);
    const double width = 5 * 3 + 4 * 3;
    double x = content.center().x() - width / 2;
    for (double h : heights) {
        const QRectF bar(x, content.center().y() - h / 2, 3, h);
        QPainterPath path;
        path.addRoundedRect(bar, 1.5, 1.5);
        painter.fillPath(path, meterRed);
        x += 6;
    }
}

void RecordingHUD::paintDots(QPainter& painter, const QRectF& content) const {
    const double t = PulseDots::frameTime();
    double x = content.center().x() - (3 * 6 + 2 * 6) / 2.0 + 3;
    for (int i = 0; i < 3; ++i) {
        const PulseDots::Dot dot = PulseDots::dot(t, i);
        const double d = 6 * dot.scale;
        painter.setOpacity(dot.opacity);
        painter.setBrush(meterRed);
        painter.drawEllipse(QPointF(x, content.center().y()), d / 2, d / 2);
        x += 12;
    }
    painter.setOpacity(1);
}

void RecordingHUD::paintError(QPainter& painter, const QRectF& content) const {
    const QRectF icon(content.left(), content.center().y() - 11, 22, 22);
    painter.setOpacity(0.6);
    MirvoIcon::draw(painter, icon);
    painter.setOpacity(1);
    paintMessage(painter, content.adjusted(icon.width() + 12, 0, 0, 0), 12, model_.mode().message);
}

QFont RecordingHUD::messageFont(int pixelSize) const {
    QFont font = this->font();
    font.setPixelSize(pixelSize); // points are logical pixels here, as on the Mac
    font.setWeight(QFont::Medium);
    return font;
}

void RecordingHUD::paintMessage(QPainter& painter, const QRectF& textRect, int pixelSize,
                                const QString& text) const {
    paintLines(painter, textRect, pixelSize,
               wrapTwoLines(text, QFontMetricsF(messageFont(pixelSize)), textRect.width()));
}

void RecordingHUD::paintLines(QPainter& painter, const QRectF& textRect, int pixelSize,
                              const QStringList& lines) const {
    painter.setFont(messageFont(pixelSize));
    painter.setPen(Qt::white);
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, lines.join(QLatin1Char('\n')));
}
