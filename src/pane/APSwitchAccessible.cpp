#include "pane/APSwitchAccessible.hpp"

#include "pane/APSwitch.hpp"

namespace tandril {

namespace {

QAccessibleInterface* makeInterface(const QString& className, QObject* object) {
    if (className != QLatin1String(APSwitch::staticMetaObject.className())) return nullptr;
    auto* sw = qobject_cast<APSwitch*>(object);
    return sw ? new APSwitchAccessible(sw) : nullptr;
}

}  // namespace

APSwitchAccessible::APSwitchAccessible(APSwitch* sw) : QAccessibleWidget(sw, QAccessible::CheckBox) {}

APSwitch* APSwitchAccessible::switchWidget() const { return static_cast<APSwitch*>(widget()); }

QAccessible::State APSwitchAccessible::state() const {
    QAccessible::State state = QAccessibleWidget::state();
    state.checkable = true;
    state.checked = switchWidget()->isOn();
    return state;
}

QStringList APSwitchAccessible::actionNames() const {
    QStringList names = QAccessibleWidget::actionNames();
    if (widget()->isEnabled()) names.prepend(toggleAction());
    return names;
}

void APSwitchAccessible::doAction(const QString& actionName) {
    if (actionName == toggleAction() || actionName == pressAction()) {
        APSwitch* sw = switchWidget();
        if (sw->isEnabled()) sw->setOn(!sw->isOn());
        return;
    }
    QAccessibleWidget::doAction(actionName);
}

void APSwitchAccessible::install() {
    static const bool installed = [] {
        QAccessible::installFactory(makeInterface);
        return true;
    }();
    (void)installed;
}

}  // namespace tandril
