#include "Meters.hpp"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "Theme.hpp"
#include "ViewMath.hpp"

namespace corvaline::ui {

namespace {
constexpr double kReductionScaleDB = 24;  // full width of a reduction meter
}

MeterView::MeterView(const QString& label, QWidget* parent) : QWidget(parent), label_(label) {
    setMinimumSize(30, 90);
    setAccessibleName(label + QStringLiteral(" output level"));
}

void MeterView::setLevel(double levelDB) {
    if (levelDB == level_) return;
    level_ = levelDB;
    setAccessibleDescription(reading() + QStringLiteral(" dBFS"));
    update();
}

QString MeterView::reading() const {
    return QString::fromStdString(meterText(level_));
}

QColor MeterView::barColor() const {
    return meterWarning(level_) ? theme::warning : theme::meterBar;
}

void MeterView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int textHeight = fontMetrics().height();
    const QRectF bar(width() / 2.0 - 6, textHeight + 2, 12, height() - 2 * textHeight - 6);
    p.setPen(theme::secondaryText);
    p.drawText(QRectF(0, 0, width(), textHeight), Qt::AlignCenter, label_);
    p.setPen(Qt::NoPen);
    p.setBrush(theme::raised);
    p.drawRoundedRect(bar, 3, 3);
    const double fill = meterFraction(level_) * bar.height();
    p.setBrush(barColor());
    p.drawRoundedRect(QRectF(bar.left(), bar.bottom() - fill, bar.width(), fill), 3, 3);
    p.setPen(meterWarning(level_) ? theme::warning : theme::text);
    p.drawText(QRectF(0, height() - textHeight - 2, width(), textHeight), Qt::AlignCenter,
               reading());
}

MiniMeter::MiniMeter(QWidget* parent) : QWidget(parent) {
    setFixedHeight(8);
    setMinimumWidth(40);
    setAccessibleName(QStringLiteral("Channel level"));
}

void MiniMeter::setLevel(double levelDB) {
    if (levelDB == level_) return;
    level_ = levelDB;
    update();
}

double MiniMeter::fraction() const {
    return miniMeterFraction(level_);
}

QColor MiniMeter::barColor() const {
    return miniMeterWarning(level_) ? theme::warning : theme::meterBar;
}

void MiniMeter::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(theme::raised);
    p.drawRoundedRect(rect(), 3, 3);
    p.setBrush(barColor());
    p.drawRoundedRect(QRectF(0, 0, fraction() * width(), height()), 3, 3);
}

ReductionMeter::ReductionMeter(QColor color, QWidget* parent)
    : QWidget(parent), color_(std::move(color)) {
    setFixedHeight(16);
    setMinimumWidth(120);
}

void ReductionMeter::setValue(double reductionDB) {
    if (reductionDB == value_) return;
    value_ = reductionDB;
    update();
}

void ReductionMeter::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int labelWidth = 26;
    const int readoutWidth = 56;
    p.setPen(theme::secondaryText);
    p.drawText(QRect(0, 0, labelWidth, height()), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("GR"));
    const QRectF bar(labelWidth, height() / 2.0 - 3, width() - labelWidth - readoutWidth, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(theme::raised);
    p.drawRoundedRect(bar, 3, 3);
    const double v = std::isfinite(value_) ? std::clamp(value_, 0.0, kReductionScaleDB) : 0;
    const double fill = v / kReductionScaleDB * bar.width();
    p.setBrush(color_);
    p.drawRoundedRect(QRectF(bar.right() - fill, bar.top(), fill, bar.height()), 3, 3);
    p.setPen(theme::text);
    p.drawText(QRect(width() - readoutWidth, 0, readoutWidth, height()),
               Qt::AlignVCenter | Qt::AlignRight,
               v < 0.05 ? QStringLiteral("0.0 dB") : QStringLiteral("-%1 dB").arg(v, 0, 'f', 1));
}

}  // namespace corvaline::ui
