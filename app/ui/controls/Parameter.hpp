#pragma once
// The inspector's numeric controls.
//
// `Parameter`: a labelled slider with a numeric field and a unit, linear or logarithmic
// (slider position p maps to lo × (hi / lo)^p). `CompactParameter`: a label with a numeric
// field that commits on Enter or focus loss, clamped to the range. Both show the bound value
// through setValue() (no signal) and report user edits through edited().

#include <QWidget>

class QDoubleSpinBox;
class QLabel;
class QSlider;

namespace corvaline::ui {

class Parameter : public QWidget {
    Q_OBJECT
  public:
    Parameter(const QString& name, double lo, double hi, const QString& unit,
              bool logarithmic = false, int decimals = 1, QWidget* parent = nullptr);

    /// Shows `value` (clamped for display) without emitting edited().
    void setValue(double value);
    double value() const { return value_; }
    /// Changes the range (the EQ's frequency bound follows the selected recording's rate).
    void setRange(double lo, double hi);
    double minimum() const { return lo_; }
    double maximum() const { return hi_; }
    void setName(const QString& name);
    QString name() const;
    void setHelp(const QString& help);

    QSlider* slider() const { return slider_; }
    QDoubleSpinBox* field() const { return field_; }

  signals:
    /// The user moved the slider or committed a number.
    void edited(double value);

  private:
    void showValue();
    void sliderMoved(int position);
    void fieldCommitted();

    QLabel* label_;
    QSlider* slider_;
    QDoubleSpinBox* field_;
    double lo_;
    double hi_;
    bool logarithmic_;
    double value_ = 0;
};

class CompactParameter : public QWidget {
    Q_OBJECT
  public:
    CompactParameter(const QString& name, double lo, double hi, const QString& unit,
                     int decimals = 1, QWidget* parent = nullptr);
    void setValue(double value);
    double value() const { return value_; }
    void setHelp(const QString& help);
    QDoubleSpinBox* field() const { return field_; }

  signals:
    void edited(double value);

  private:
    QLabel* label_;
    QDoubleSpinBox* field_;
    double lo_;
    double hi_;
    double value_ = 0;
};

}  // namespace corvaline::ui
