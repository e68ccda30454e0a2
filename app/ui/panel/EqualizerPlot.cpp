#include "EqualizerPlot.hpp"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "Theme.hpp"
#include "ViewMath.hpp"

namespace corvaline::ui {

EqualizerPlot::EqualizerPlot(QWidget* parent) : QWidget(parent) {
    setFixedHeight(kHeight);
    setMinimumWidth(200);
    setAccessibleName(QStringLiteral("EQ curve"));
    setToolTip(QStringLiteral("Drag a band's handle to change its frequency and gain"));
    curve_ = eqCurve(settings_, 0);
}

void EqualizerPlot::setSettings(const ProcessingSettings& settings, double selectedRate) {
    const double rate = eqPlotRate(selectedRate);
    if (settings == settings_ && rate == rate_ && !curve_.empty()) return;
    settings_ = settings;
    rate_ = rate;
    fmax_ = eqMaxFrequency(selectedRate);
    curve_ = eqCurve(settings_, rate_);
    update();
}

void EqualizerPlot::setSelectedBand(int band) {
    if (band == selected_) return;
    selected_ = band;
    update();
}

QPointF EqualizerPlot::handleCenter(int index) const {
    if (index < 0 || index >= int(settings_.eqBands.size())) return {};
    const EQBand& band = settings_.eqBands[size_t(index)];
    return {eqXFraction(band.frequency, fmax_) * width(),
            eqYFraction(eqHandleGain(band)) * height()};
}

std::optional<int> EqualizerPlot::bandAt(QPointF point) const {
    auto hit = [&](int i) {
        const double radius = eqHandleSize(i == selected_) / 2 + 3;
        const QPointF d = point - handleCenter(i);
        return d.x() * d.x() + d.y() * d.y() <= radius * radius;
    };
    if (selected_ >= 0 && selected_ < int(settings_.eqBands.size()) && hit(selected_))
        return selected_;
    for (int i = int(settings_.eqBands.size()) - 1; i >= 0; --i) {
        if (hit(i)) return i;
    }
    return std::nullopt;
}

void EqualizerPlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double w = width();
    const double h = height();
    p.fillRect(rect(), theme::panel.darker(115));

    // Grid: 0 dB line, ±12 dB, and decades.
    p.setPen(QPen(theme::border, 1));
    for (double db : {-12.0, 12.0}) {
        const double y = eqYFraction(db) * h;
        p.drawLine(QPointF(0, y), QPointF(w, y));
    }
    for (double f : {100.0, 1000.0, 10000.0}) {
        if (f >= fmax_) continue;
        const double x = eqXFraction(f, fmax_) * w;
        p.drawLine(QPointF(x, 0), QPointF(x, h));
    }
    p.setPen(QPen(theme::secondaryText.darker(150), 1));
    p.drawLine(QPointF(0, h / 2), QPointF(w, h / 2));
    p.setPen(theme::secondaryText);
    QFont small = font();
    small.setPointSizeF(7);
    p.setFont(small);
    p.drawText(QPointF(3, h - 3), QStringLiteral("20"));
    const QString top = fmax_ >= 1000 ? QStringLiteral("%1k").arg(fmax_ / 1000, 0, 'g', 3)
                                      : QString::number(fmax_, 'f', 0);
    p.drawText(QRectF(0, h - 14, w - 3, 12), Qt::AlignRight, top);

    // Curve: 201 points, 1.7 wide.
    QPainterPath path;
    for (int i = 0; i < int(curve_.size()); ++i) {
        const double x = w * i / double(kEQCurvePoints - 1);
        const double y = eqYFraction(curve_[size_t(i)]) * h;
        if (i == 0)
            path.moveTo(x, y);
        else
            path.lineTo(x, y);
    }
    QColor curveColor = settings_.eqEnabled ? theme::accent : theme::secondaryText;
    p.setPen(QPen(curveColor, 1.7));
    p.setBrush(Qt::NoBrush);
    p.drawPath(path);

    // Handles.
    for (int i = 0; i < int(settings_.eqBands.size()); ++i) {
        const EQBand& band = settings_.eqBands[size_t(i)];
        const double size = eqHandleSize(i == selected_);
        QColor fill = band.enabled && settings_.eqEnabled ? theme::accent : theme::raised;
        if (i == selected_) fill = fill.lighter(125);
        p.setPen(QPen(i == selected_ ? Qt::white : theme::background, 1.2));
        p.setBrush(fill);
        p.drawEllipse(handleCenter(i), size / 2, size / 2);
        if (i == selected_) {
            p.setPen(theme::background);
            QFont digit = font();
            digit.setPointSizeF(7);
            digit.setBold(true);
            p.setFont(digit);
            const QPointF c = handleCenter(i);
            p.drawText(QRectF(c.x() - size / 2, c.y() - size / 2, size, size), Qt::AlignCenter,
                       QString::number(i + 1));
        }
    }
}

void EqualizerPlot::mousePressEvent(QMouseEvent* event) {
    const auto band = bandAt(event->position());
    if (!band) return;
    dragging_ = band;
    if (*band != selected_) {
        selected_ = *band;
        update();
    }
    emit bandSelected(*band);
}

void EqualizerPlot::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_) dragTo(event->position());
}

void EqualizerPlot::mouseReleaseEvent(QMouseEvent* event) {
    if (dragging_) dragTo(event->position());
    dragging_.reset();
}

void EqualizerPlot::dragTo(QPointF point) {
    if (!dragging_ || width() <= 0 || height() <= 0) return;
    const int index = *dragging_;
    if (index < 0 || index >= int(settings_.eqBands.size())) return;
    const double frequency = eqFrequencyForDrag(point.x() / width(), fmax_);
    std::optional<double> gain;
    if (hasGain(settings_.eqBands[size_t(index)].kind)) gain = eqGainForDrag(point.y() / height());
    emit bandMoved(index, frequency, gain);
}

}  // namespace corvaline::ui
