#include "Parameter.hpp"

#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "ViewMath.hpp"

namespace corvaline::ui {

namespace {

constexpr int kSliderSteps = 1000;

QDoubleSpinBox* makeField(double lo, double hi, const QString& unit, int decimals,
                          QWidget* parent) {
    auto* field = new QDoubleSpinBox(parent);
    field->setRange(lo, hi);
    field->setDecimals(decimals);
    field->setButtonSymbols(QAbstractSpinBox::NoButtons);
    field->setKeyboardTracking(false);  // commit on Enter or focus loss, not per keystroke
    field->setAlignment(Qt::AlignRight);
    if (!unit.isEmpty()) field->setSuffix(QLatin1Char(' ') + unit);
    field->setFixedWidth(84);
    return field;
}

}  // namespace

Parameter::Parameter(const QString& name, double lo, double hi, const QString& unit,
                     bool logarithmic, int decimals, QWidget* parent)
    : QWidget(parent), lo_(lo), hi_(hi), logarithmic_(logarithmic) {
    label_ = new QLabel(name, this);
    slider_ = new QSlider(Qt::Horizontal, this);
    slider_->setRange(0, kSliderSteps);
    field_ = makeField(lo, hi, unit, decimals, this);
    slider_->setAccessibleName(name);
    field_->setAccessibleName(name + QStringLiteral(" value"));

    auto* top = new QHBoxLayout;
    top->setContentsMargins(0, 0, 0, 0);
    top->addWidget(label_, 1);
    top->addWidget(field_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 2, 0, 2);
    layout->setSpacing(2);
    layout->addLayout(top);
    layout->addWidget(slider_);

    connect(slider_, &QSlider::valueChanged, this, &Parameter::sliderMoved);
    connect(field_, &QDoubleSpinBox::valueChanged, this, [this](double) { fieldCommitted(); });
    setValue(lo);
}

void Parameter::setValue(double value) {
    if (!std::isfinite(value)) return;
    value_ = value;
    showValue();
}

void Parameter::setRange(double lo, double hi) {
    if (!(hi > lo)) return;
    lo_ = lo;
    hi_ = hi;
    const QSignalBlocker block(field_);
    field_->setRange(lo, hi);
    showValue();
}

void Parameter::setName(const QString& name) {
    label_->setText(name);
    slider_->setAccessibleName(name);
    field_->setAccessibleName(name + QStringLiteral(" value"));
}

QString Parameter::name() const {
    return label_->text();
}

void Parameter::setHelp(const QString& help) {
    setToolTip(help);
    slider_->setToolTip(help);
    field_->setToolTip(help);
    slider_->setAccessibleDescription(help);
}

void Parameter::showValue() {
    const QSignalBlocker blockSlider(slider_);
    const QSignalBlocker blockField(field_);
    slider_->setValue(
        int(std::lround(parameterPosition(value_, lo_, hi_, logarithmic_) * kSliderSteps)));
    field_->setValue(std::clamp(value_, lo_, hi_));
}

void Parameter::sliderMoved(int position) {
    value_ = parameterValue(double(position) / kSliderSteps, lo_, hi_, logarithmic_);
    {
        const QSignalBlocker block(field_);
        field_->setValue(value_);
    }
    emit edited(value_);
}

void Parameter::fieldCommitted() {
    value_ = clampParameter(field_->value(), lo_, hi_, value_);
    {
        const QSignalBlocker block(slider_);
        slider_->setValue(
            int(std::lround(parameterPosition(value_, lo_, hi_, logarithmic_) * kSliderSteps)));
    }
    emit edited(value_);
}

CompactParameter::CompactParameter(const QString& name, double lo, double hi, const QString& unit,
                                   int decimals, QWidget* parent)
    : QWidget(parent), lo_(lo), hi_(hi) {
    label_ = new QLabel(name, this);
    field_ = makeField(lo, hi, unit, decimals, this);
    field_->setAccessibleName(name);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 1, 0, 1);
    layout->addWidget(label_, 1);
    layout->addWidget(field_);
    connect(field_, &QDoubleSpinBox::valueChanged, this, [this](double v) {
        value_ = clampParameter(v, lo_, hi_, value_);
        emit edited(value_);
    });
}

void CompactParameter::setValue(double value) {
    if (!std::isfinite(value)) return;
    value_ = value;
    const QSignalBlocker block(field_);
    field_->setValue(std::clamp(value, lo_, hi_));
}

void CompactParameter::setHelp(const QString& help) {
    setToolTip(help);
    field_->setToolTip(help);
}

}  // namespace corvaline::ui
