#include "CompressorPlot.hpp"

#include <QPainter>
#include <QPainterPath>

#include "Theme.hpp"
#include "ViewMath.hpp"

namespace corvaline::ui {

CompressorPlot::CompressorPlot(QWidget* parent) : QWidget(parent) {
    setFixedHeight(kHeight);
    setMinimumWidth(120);
    setAccessibleName(QStringLiteral("Compressor curve"));
}

void CompressorPlot::setParameters(double threshold, double ratio, double knee, double makeup,
                                   bool enabled) {
    if (threshold == threshold_ && ratio == ratio_ && knee == knee_ && makeup == makeup_ &&
        enabled == enabled_)
        return;
    threshold_ = threshold;
    ratio_ = ratio;
    knee_ = knee;
    makeup_ = makeup;
    enabled_ = enabled;
    update();
}

void CompressorPlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const double w = width();
    const double h = height();
    p.fillRect(rect(), theme::panel.darker(115));
    p.setPen(QPen(theme::border, 1));
    for (int q = 1; q < 4; ++q) {
        p.drawLine(QPointF(w * q / 4, 0), QPointF(w * q / 4, h));
        p.drawLine(QPointF(0, h * q / 4), QPointF(w, h * q / 4));
    }
    p.setPen(QPen(theme::secondaryText.darker(160), 1, Qt::DashLine));
    p.drawLine(QPointF(0, h), QPointF(w, 0));  // unity

    QPainterPath path;
    const auto curve = compressorCurve(threshold_, ratio_, knee_, makeup_);
    for (size_t i = 0; i < curve.size(); ++i) {
        const double x = compressorAxisFraction(curve[i].first) * w;
        const double y = (1 - compressorAxisFraction(curve[i].second)) * h;
        if (i == 0)
            path.moveTo(x, y);
        else
            path.lineTo(x, y);
    }
    p.setPen(QPen(enabled_ ? theme::accent : theme::secondaryText, 1.7));
    p.drawPath(path);
}

}  // namespace corvaline::ui
