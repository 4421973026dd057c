#include "pane/APSwitch.hpp"

#include <QAccessible>
#include <QEasingCurve>
#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>

#include <algorithm>
#include <cmath>

#include "pane/APSwitchAccessible.hpp"
#include "pane/APSwitchBackgroundLayer.hpp"
#include "pane/APSwitchKnobLayer.hpp"

namespace tandril {

namespace {

// The switch's natural size, whatever its current one.
constexpr int kWidth = 80;
constexpr int kHeight = 28;

constexpr double kHighlightRadius = 7.0;
constexpr double kHighlightAlpha = 0.8;
constexpr double kTrackRadius = 6.0;
constexpr double kBorderGray = 0.38;
constexpr double kDisabledBorderGray = 0.68;
constexpr double kDisabledKnobShadowOpacity = 0.3;

QEasingCurve easeInEaseOut() {
    // The standard ease-in-ease-out timing: a cubic Bézier through (0.42, 0) and (0.58, 1).
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0.42, 0.0), QPointF(0.58, 1.0), QPointF(1.0, 1.0));
    return curve;
}

}  // namespace

APSwitch::APSwitch(QWidget* parent)
    : QWidget(parent),
      backgroundLayer_(std::make_unique<APSwitchBackgroundLayer>()),
      knobLayer_(std::make_unique<APSwitchKnobLayer>()) {
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    // Reachable with Tab (not by clicking, so a click shows no focus ring); Space toggles.
    setFocusPolicy(Qt::TabFocus);
    APSwitchAccessible::install();
    resize(kWidth, kHeight);
    layoutLayers();
    setOnTintColor(defaultOnTintColor());
    applyEnabled(isEnabled());
    setOn(false, false);
}

APSwitch::~APSwitch() = default;

QColor APSwitch::defaultOnTintColor() { return QColor::fromHsvF(0.589f, 1.0f, 0.883f, 1.0f); }

QSize APSwitch::sizeHint() const { return {kWidth, kHeight}; }

QSize APSwitch::minimumSizeHint() const { return sizeHint(); }

QSize APSwitch::knobSizeForHeight(int height) {
    // The knob is 18/13 as wide as the track is high (the factor in single precision,
    // multiplied in double), rounded out to whole points: 37 × 24 for a height of 28.
    const double factor = static_cast<double>(18.0f / 13.0f);
    const double width = factor * (height - 2);
    return {std::max(0, static_cast<int>(std::ceil(width))), std::max(0, height - 4)};
}

QRectF APSwitch::highlightRect() const { return QRectF(0, 0, width(), height() - 1); }

QRectF APSwitch::trackRect() const { return QRectF(0, 0, width(), height() - 2); }

QRectF APSwitch::knobFrame() const {
    const QSizeF size = knobLayer_->bounds();
    return QRectF(QPointF(knobX_, (trackRect().height() - size.height()) / 2.0), size);
}

QRectF APSwitch::stripFrame() const {
    const QRectF knob = knobFrame();
    const QSizeF size = backgroundLayer_->bounds();
    return QRectF(QPointF(knob.center().x() - size.width() / 2.0, (trackRect().height() - size.height()) / 2.0),
                  size);
}

QRectF APSwitch::presentedKnobFrame() const { return knobFrame().translated(presentedKnobX_ - knobX_, 0); }

QRectF APSwitch::presentedStripFrame() const { return stripFrame().translated(presentedKnobX_ - knobX_, 0); }

double APSwitch::restingKnobX(bool on) const { return on ? width() - knobLayer_->bounds().width() : 0.0; }

void APSwitch::layoutLayers() {
    backgroundLayer_->setBounds(QSizeF(2.0 * width(), std::max(0, height() - 2)));
    knobLayer_->setBounds(QSizeF(knobSizeForHeight(height())));
}

void APSwitch::setOn(bool on) { setOn(on, true); }

void APSwitch::setOn(bool on, bool animated) {
    placeKnob(restingKnobX(on), animated);
    const bool changed = on != on_;
    on_ = on;
    if (changed && QAccessible::isActive()) {
        QAccessible::State checked;
        checked.checked = true;
        QAccessibleStateChangeEvent event(this, checked);
        QAccessible::updateAccessibility(&event);
    }
    emit onChanged(on);
}

void APSwitch::placeKnob(double x, bool animated) {
    if (!animated) {
        stopAnimation();
        knobX_ = presentedKnobX_ = x;
        update();
        return;
    }
    // The slide starts where the knob is drawn now, even in the middle of another slide.
    const double from = presentedKnobX_;
    stopAnimation();
    knobX_ = x;
    if (from == x) {
        update();
        return;
    }
    animation_ = new QVariantAnimation(this);
    animation_->setStartValue(from);
    animation_->setEndValue(x);
    animation_->setDuration(kAnimationMilliseconds);
    animation_->setEasingCurve(easeInEaseOut());
    connect(animation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        presentedKnobX_ = value.toDouble();
        update();
    });
    connect(animation_, &QVariantAnimation::finished, this, [this] {
        presentedKnobX_ = knobX_;
        animation_->deleteLater();
        animation_ = nullptr;
        update();
    });
    animation_->start();
}

void APSwitch::stopAnimation() {
    if (!animation_) return;
    QVariantAnimation* running = animation_;
    animation_ = nullptr;
    running->disconnect(this);
    running->stop();
    running->deleteLater();
    presentedKnobX_ = knobX_;
}

void APSwitch::setOnTintColor(const QColor& color) {
    onTintColor_ = color;
    backgroundLayer_->setOnTintColor(color);
    update();
}

void APSwitch::applyEnabled(bool enabled) {
    knobLayer_->setEnabled(enabled);
    backgroundLayer_->setEnabled(enabled);
    const double gray = enabled ? kBorderGray : kDisabledBorderGray;
    borderColor_ = QColor::fromRgbF(gray, gray, gray);
    knobLayer_->setShadowOpacity(enabled ? 1.0 : kDisabledKnobShadowOpacity);
    if (!enabled && tracking_) {
        // Disabled in the middle of a drag: the knob goes back to where the state puts it.
        tracking_ = false;
        knobLayer_->setPressed(false);
        if (dragged_) placeKnob(restingKnobX(on_), true);
    }
    update();
}

void APSwitch::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) applyEnabled(isEnabled());
    QWidget::changeEvent(event);
}

void APSwitch::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // A hidden widget gets its resize when shown, for a size it may already have: only a new
    // size moves the knob (and would end a running slide).
    const QSizeF strip = backgroundLayer_->bounds();
    const QSizeF knob = knobLayer_->bounds();
    layoutLayers();
    if (strip == backgroundLayer_->bounds() && knob == knobLayer_->bounds()) return;
    placeKnob(restingKnobX(on_), false);
}

void APSwitch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    // The white highlight one point below the track.
    painter.setBrush(QColor::fromRgbF(1.0, 1.0, 1.0, kHighlightAlpha));
    painter.drawRoundedRect(highlightRect(), kHighlightRadius, kHighlightRadius);

    // The track's content, drawn apart and cut to the rounded track so that its corners
    // stay smooth (a clip path would cut them without antialiasing).
    const QRectF track = trackRect();
    if (track.isEmpty()) return;
    const double ratio = devicePixelRatioF();
    QImage content(QSize(static_cast<int>(std::ceil(track.width() * ratio)),
                         static_cast<int>(std::ceil(track.height() * ratio))),
                   QImage::Format_ARGB32_Premultiplied);
    content.setDevicePixelRatio(ratio);
    content.fill(Qt::transparent);
    {
        QPainter inner(&content);
        inner.setRenderHint(QPainter::Antialiasing);
        const QRectF strip = presentedStripFrame();
        inner.save();
        inner.translate(strip.topLeft());
        backgroundLayer_->drawInContext(inner);
        inner.restore();
        const QRectF knob = presentedKnobFrame();
        knobLayer_->drawShadow(inner, knob.topLeft());
        inner.translate(knob.topLeft());
        knobLayer_->drawInContext(inner);
        inner.resetTransform();

        QPainterPath shape;
        shape.addRoundedRect(QRectF(QPointF(0, 0), track.size()), kTrackRadius, kTrackRadius);
        QImage mask(content.size(), QImage::Format_ARGB32_Premultiplied);
        mask.setDevicePixelRatio(ratio);
        mask.fill(Qt::transparent);
        {
            QPainter maskPainter(&mask);
            maskPainter.setRenderHint(QPainter::Antialiasing);
            maskPainter.fillPath(shape, Qt::black);
        }
        inner.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        inner.drawImage(QPointF(0, 0), mask);
        inner.setCompositionMode(QPainter::CompositionMode_SourceOver);

        // The border lies inside the track, above the strip and the knob; with the keyboard
        // focus it is drawn twice as wide in the highlight colour.
        const double border = hasFocus() ? 2.0 : 1.0;
        inner.setBrush(Qt::NoBrush);
        inner.setPen(QPen(hasFocus() ? palette().color(QPalette::Highlight) : borderColor_, border));
        const double inset = border / 2.0;
        inner.drawRoundedRect(QRectF(QPointF(0, 0), track.size()).adjusted(inset, inset, -inset, -inset),
                              kTrackRadius - inset, kTrackRadius - inset);
    }
    painter.drawImage(track.topLeft(), content);
}

void APSwitch::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space && !event->isAutoRepeat() && !tracking_) {
        setOn(!isOn());
        return;
    }
    QWidget::keyPressEvent(event);
}

void APSwitch::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    update();
}

void APSwitch::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    update();
}

void APSwitch::mousePressEvent(QMouseEvent* event) {
    if (!isEnabled() || event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const QPointF p = event->position();
    const QRectF knob = knobFrame();
    if (knob.contains(p)) knobLayer_->setPressed(true);
    grabX_ = p.x() - knob.x();
    dragged_ = false;
    tracking_ = true;
    update();
}

void APSwitch::mouseMoveEvent(QMouseEvent* event) {
    if (!tracking_ || !(event->buttons() & Qt::LeftButton)) return;
    if (!knobLayer_->isPressed()) {
        // The press began beside the knob: a drag from there changes nothing.
        tracking_ = false;
        return;
    }
    const double limit = std::max(0.0, width() - knobLayer_->bounds().width());
    const double x = std::min(limit, std::max(event->position().x() - grabX_, 0.0));
    placeKnob(x, false);
    dragged_ = true;
}

void APSwitch::mouseReleaseEvent(QMouseEvent* event) {
    if (!tracking_ || event->button() != Qt::LeftButton) return;
    tracking_ = false;
    if (!dragged_) {
        setOn(!isOn());
    } else {
        // Exactly the middle counts as off.
        setOn(knobFrame().center().x() > width() / 2.0);
    }
    knobLayer_->setPressed(false);
    update();
}

}  // namespace tandril
