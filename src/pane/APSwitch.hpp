#pragma once

#include <QColor>
#include <QRectF>
#include <QSize>
#include <QWidget>

#include <memory>

class QVariantAnimation;

namespace tandril {

class APSwitchBackgroundLayer;
class APSwitchKnobLayer;

// The pane's on/off switch: a rounded track with a knob that slides between the left (off)
// and the right (on) end. Under the track lies a white highlight one point lower; inside it a
// strip twice the switch's width, centred on the knob, shows the on colour left of the knob
// and gray right of it. The strip and the knob are drawn by their own helper classes.
//
// A click anywhere toggles the switch; dragging the knob moves it (clamped to the ends) and
// the release turns the switch on when the knob's centre lies right of the middle (exactly
// the middle is off). A press beside the knob followed by a drag changes nothing. A disabled
// switch ignores the mouse and shows a paler look. With the keyboard focus (Tab), Space
// toggles it.
//
// onChanged(bool) is emitted on every setOn call, even when the value does not change: the
// pane's controller relies on it to refresh its status.
//
// Geometry, in widget coordinates (y down) for a switch w × h:
//   highlight  (0, 0, w, h − 1), corner radius 7, white at 80 %
//   track      (0, 0, w, h − 2), corner radius 6, 1-point border, clips strip and knob
//   knob       ceil(18/13 · (h − 2)) × (h − 4), centred vertically in the track,
//              x = 0 when off and w − knob width when on
//   strip      2w × (h − 2), centred on the knob's centre
class APSwitch : public QWidget {
    Q_OBJECT

public:
    // The animation of the knob's slide: 0.25 s, ease-in-ease-out.
    static constexpr int kAnimationMilliseconds = 250;

    explicit APSwitch(QWidget* parent = nullptr);
    ~APSwitch() override;

    bool isOn() const { return on_; }
    // Animated.
    void setOn(bool on);
    void setOn(bool on, bool animated);

    QColor onTintColor() const { return onTintColor_; }
    void setOnTintColor(const QColor& color);

    // The default on colour: hue 0.589, saturation 1.0, brightness 0.883.
    static QColor defaultOnTintColor();

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Geometry, in widget coordinates. The knob and strip frames are where the knob rests
    // (the end of a running slide); the presented ones are where it is drawn right now.
    static QSize knobSizeForHeight(int height);
    QRectF highlightRect() const;
    QRectF trackRect() const;
    QRectF knobFrame() const;
    QRectF stripFrame() const;
    QRectF presentedKnobFrame() const;
    QRectF presentedStripFrame() const;

    // The running slide, or null; for tests, which drive its current time instead of waiting.
    QVariantAnimation* animation() const { return animation_; }

    const APSwitchBackgroundLayer& backgroundLayer() const { return *backgroundLayer_; }
    const APSwitchKnobLayer& knobLayer() const { return *knobLayer_; }

signals:
    void onChanged(bool on);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void layoutLayers();
    void applyEnabled(bool enabled);
    void placeKnob(double x, bool animated);
    void stopAnimation();
    double restingKnobX(bool on) const;

    std::unique_ptr<APSwitchBackgroundLayer> backgroundLayer_;
    std::unique_ptr<APSwitchKnobLayer> knobLayer_;
    bool on_ = false;
    QColor onTintColor_;
    QColor borderColor_;

    double knobX_ = 0.0;           // where the knob rests
    double presentedKnobX_ = 0.0;  // where it is drawn
    QVariantAnimation* animation_ = nullptr;

    // Mouse tracking.
    bool tracking_ = false;
    bool dragged_ = false;
    double grabX_ = 0.0;
};

}  // namespace tandril
