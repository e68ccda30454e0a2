#pragma once
// Level and gain-reduction meters, drawn by hand (no processing state: they show the level
// they are given).

#include <QColor>
#include <QWidget>

namespace corvaline::ui {

/// A vertical output meter with its label and a "-inf"/"%.1f" reading under it.
class MeterView : public QWidget {
    Q_OBJECT
  public:
    explicit MeterView(const QString& label, QWidget* parent = nullptr);
    void setLevel(double levelDB);
    double level() const { return level_; }
    /// The reading shown under the bar.
    QString reading() const;
    /// The colour the bar is drawn in (the warning colour at or above −1 dBFS).
    QColor barColor() const;
    QSize sizeHint() const override { return {38, 120}; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QString label_;
    double level_ = -90;
};

/// The small horizontal meter of a channel row.
class MiniMeter : public QWidget {
    Q_OBJECT
  public:
    explicit MiniMeter(QWidget* parent = nullptr);
    void setLevel(double levelDB);
    double level() const { return level_; }
    double fraction() const;
    QColor barColor() const;
    QSize sizeHint() const override { return {64, 8}; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    double level_ = -90;
};

/// Gain reduction in dB as a bar growing from the right, labelled "GR".
class ReductionMeter : public QWidget {
    Q_OBJECT
  public:
    explicit ReductionMeter(QColor color, QWidget* parent = nullptr);
    void setValue(double reductionDB);
    double value() const { return value_; }
    QSize sizeHint() const override { return {180, 16}; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QColor color_;
    double value_ = 0;
};

}  // namespace corvaline::ui
