#include "SettingBindings.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QSignalBlocker>

#include "Theme.hpp"
#include "controls/Parameter.hpp"
#include "core/state/AppState.hpp"

namespace corvaline::ui {

QCheckBox* makeSwitch(const QString& label, QWidget* parent) {
    auto* box = new QCheckBox(label, parent);
    theme::setRole(box, "switch");
    box->setAccessibleName(label);
    return box;
}

Parameter* SettingBindings::number(const SettingField& field, QWidget* parent, const QString& label,
                                   int decimals) {
    auto* control = new Parameter(label.isEmpty() ? QString::fromUtf8(field.label) : label,
                                  field.low, field.high, QString::fromUtf8(field.unit),
                                  field.logarithmic, decimals, parent);
    const auto member = field.number;
    QObject::connect(control, &Parameter::edited, control, [this, member](double value) {
        edit([&](ProcessingSettings& s) { s.*member = value; });
    });
    onRefresh([control, member](const ProcessingSettings& s) { control->setValue(s.*member); });
    return control;
}

QCheckBox* SettingBindings::flag(const SettingField& field, const QString& label, QWidget* parent) {
    auto* box = makeSwitch(label, parent);
    const auto member = field.flag;
    QObject::connect(box, &QCheckBox::toggled, box, [this, member](bool on) {
        edit([&](ProcessingSettings& s) { s.*member = on; });
    });
    onRefresh([box, member](const ProcessingSettings& s) {
        const QSignalBlocker block(box);
        box->setChecked(s.*member);
    });
    return box;
}

QComboBox* SettingBindings::choice(const SettingField& field, const QString& accessibleName,
                                   QWidget* parent) {
    auto* picker = new QComboBox(parent);
    picker->setAccessibleName(accessibleName);
    for (const auto name : field.choices)
        picker->addItem(QString::fromUtf8(name));
    const auto setChoice = field.setChoice;
    const auto choiceOf = field.choiceOf;
    QObject::connect(picker, &QComboBox::activated, picker, [this, setChoice](int index) {
        edit([&](ProcessingSettings& s) { setChoice(s, index); });
    });
    onRefresh([picker, choiceOf](const ProcessingSettings& s) {
        const QSignalBlocker block(picker);
        picker->setCurrentIndex(choiceOf(s));
    });
    return picker;
}

void SettingBindings::edit(const std::function<void(ProcessingSettings&)>& change) {
    ProcessingSettings settings = state_.settings();
    change(settings);
    state_.editSettings(settings);
}

void SettingBindings::onRefresh(std::function<void(const ProcessingSettings&)> refresher) {
    refreshers_.push_back(std::move(refresher));
}

void SettingBindings::refresh() {
    const ProcessingSettings& settings = state_.settings();
    for (const auto& refresher : refreshers_)
        refresher(settings);
}

}  // namespace corvaline::ui
