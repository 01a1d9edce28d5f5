#include "OnboardingWidgets.h"

#include "MirvoIcon.h"

#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace {

QColor secondaryColor(const QWidget& widget, double opacity = 0.55) {
    QColor c = widget.palette().color(QPalette::WindowText);
    c.setAlphaF(opacity);
    return c;
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

} // namespace

QLabel* onboardingLabel(const QString& text, int pixelSize, QFont::Weight weight, bool secondary,
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

void OnboardingIcon::paintEvent(QPaintEvent*) {
    QPainter p(this);
    MirvoIcon::draw(p, QRectF(rect()));
}

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
      title_(onboardingLabel(texts.title(step), 13, QFont::DemiBold, false, this)),
      description_(onboardingLabel(texts.description(step), 11, QFont::Normal, true, this)),
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
      title_(onboardingLabel(texts.title(OnboardingStep::fnKeyDemo), 13, QFont::DemiBold, false,
                             this)),
      description_(onboardingLabel(texts.description(OnboardingStep::fnKeyDemo), 11, QFont::Normal,
                                   true, this)),
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
