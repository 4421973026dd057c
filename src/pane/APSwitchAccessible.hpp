#pragma once

#include <QAccessibleWidget>

namespace tandril {

class APSwitch;

// What assistive technologies (screen readers, the desktop's accessibility bus) see of an
// APSwitch: a check box, checked while the switch is on, with a toggle action that works
// like a click.
class APSwitchAccessible : public QAccessibleWidget {
public:
    explicit APSwitchAccessible(APSwitch* sw);

    QAccessible::State state() const override;
    QStringList actionNames() const override;
    void doAction(const QString& actionName) override;

    // Registers the interface with Qt's accessibility; once per program is enough.
    static void install();

private:
    APSwitch* switchWidget() const;
};

}  // namespace tandril
