#pragma once

#include <QVariantAnimation>
#include <QWidget>

#include <array>

class HUDModel;
class QFontMetricsF;
class QPainter;
class QTimer;

// The five-bar level meter.
namespace Waveform {
inline constexpr std::array<double, 5> weights = {0.35, 0.7, 1.0, 0.7, 0.35};
// Heights of the bars for a level (clamped to 0…1): 5 + 15 × level × weight.
std::array<double, 5> barHeights(double level);
} // namespace Waveform

// The three dots of the processing animation, a pure function of the frame time.
namespace PulseDots {
struct Dot {
    double scale;
    double opacity;
};
// Dot `index` at frame time `t`, seconds since 2001-01-01 UTC.
Dot dot(double t, int index);
// Now, in the same seconds.
double frameTime();
} // namespace PulseDots

// The message of the error line: at most two lines of `width`, broken at spaces (inside a word
// only when it is longer than a line); what does not fit the second line ends in an ellipsis.
QStringList wrapTwoLines(const QString& text, const QFontMetricsF& metrics, double width);

// The HUD's content: the level meter (with the words heard so far under it, in a wider
// capsule), the pulsing dots or the error line, in a translucent capsule. Repaints only while
// something moves.
class RecordingHUD final : public QWidget {
    Q_OBJECT
public:
    static constexpr int capsuleHeight = 32;

    explicit RecordingHUD(HUDModel& model, QWidget* parent = nullptr);
    // A frosted, translucent capsule when a compositor runs; a solid dark one otherwise.
    void setTranslucent(bool translucent);
    // Whether the processing animation's frame timer runs.
    bool isAnimating() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void modeChanged();
    void updateTimer();
    void paintCapsule(QPainter& painter, const QRectF& bounds) const;
    void paintMeter(QPainter& painter, const QRectF& content) const;
    void paintDots(QPainter& painter, const QRectF& content) const;
    void paintError(QPainter& painter, const QRectF& content) const;
    // `text` in up to two lines, left-aligned in `textRect`; its start when it is too long.
    void paintMessage(QPainter& painter, const QRectF& textRect, int pixelSize,
                      const QString& text) const;
    void paintLines(QPainter& painter, const QRectF& textRect, int pixelSize,
                    const QStringList& lines) const;
    QFont messageFont(int pixelSize) const;
    // Where the meter's bars are, and the words heard under it.
    QRect meterRect() const;
    QRectF heardRect() const;

    HUDModel& model_;
    bool translucent_ = false;
    double shownLevel_ = 0;
    // The words heard as drawn, wrapped once when they change rather than at every meter frame.
    QStringList heardLines_;
    QVariantAnimation levelAnimation_;
    QTimer* frameTimer_;
};
