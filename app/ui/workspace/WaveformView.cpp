#include "WaveformView.hpp"

#include <QMouseEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>

#include "Theme.hpp"
#include "ViewMath.hpp"

namespace corvaline::ui {

namespace {
constexpr double kClickSlop = 3;  // pixels a press may move and still count as a click
}

WaveformView::WaveformView(QWidget* parent) : QWidget(parent), color_(theme::accent) {
    setMinimumHeight(44);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAccessibleName(QStringLiteral("Waveform"));
    setCursor(Qt::PointingHandCursor);
}

void WaveformView::setSamples(std::vector<float> samples, float peak, double duration) {
    samples_ = std::move(samples);
    peak_ = peak;
    duration_ = duration;
    if (windowLength_ <= 0) windowLength_ = duration;
    update();
}

void WaveformView::setPreview(std::vector<float> samples, float peak,
                              std::pair<double, double> extent) {
    previewSamples_ = std::move(samples);
    previewPeak_ = peak;
    previewExtent_ = extent;
    update();
}

void WaveformView::clearPreview() {
    if (!previewExtent_) return;
    previewSamples_.clear();
    previewExtent_.reset();
    update();
}

void WaveformView::setPosition(double seconds) {
    if (seconds == position_) return;
    position_ = seconds;
    update();
}

void WaveformView::setSelection(std::optional<std::pair<double, double>> selection) {
    if (selection == selection_) return;
    selection_ = selection;
    update();
}

void WaveformView::setWindow(double start, double length) {
    if (start == windowStart_ && length == windowLength_) return;
    windowStart_ = start;
    windowLength_ = length;
    update();
}

void WaveformView::setColor(QColor color) {
    color_ = std::move(color);
    update();
}

void WaveformView::setWaveformEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    update();
}

void WaveformView::setSelecting(bool selecting) {
    selecting_ = selecting;
    setCursor(selecting ? Qt::IBeamCursor : Qt::PointingHandCursor);
}

double WaveformView::xAt(double seconds) const {
    if (windowLength_ <= 0) return 0;
    return (seconds - windowStart_) / windowLength_ * width();
}

void WaveformView::drawBars(QPainter& p, const std::vector<float>& samples, float peak, double from,
                            double to, const QColor& color) const {
    if (samples.empty() || !(to > from) || windowLength_ <= 0) return;
    const double h = height();
    const double mid = h / 2;
    const double scale = peak > 0 && std::isfinite(peak) ? 1.0 / peak : 0.0;
    const double spanX = xAt(to) - xAt(from);
    const double barWidth = waveformBarWidth(spanX, int(samples.size()));
    const double step = (to - from) / double(samples.size());
    // Only the points inside the window are drawn.
    const auto first =
        size_t(std::clamp((windowStart_ - from) / step, 0.0, double(samples.size())));
    const auto last = size_t(
        std::clamp((windowStart_ + windowLength_ - from) / step + 1, 0.0, double(samples.size())));
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    for (size_t i = first; i < last; ++i) {
        const float value = samples[i];
        const double amplitude =
            std::isfinite(value) ? std::clamp(double(std::fabs(value)) * scale, 0.0, 1.0) : 0.0;
        const double half = std::max(amplitude * (mid - 2), 0.5);
        const double x = xAt(from + step * double(i));
        p.drawRect(QRectF(x, mid - half, barWidth, 2 * half));
    }
}

void WaveformView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), theme::panel.darker(112));
    const double h = height();

    // Selection (committed or being dragged).
    std::optional<std::pair<double, double>> shown = selection_;
    if (dragStartX_ && dragX_) {
        shown = dragSelection(*dragStartX_, *dragX_, width(), windowStart_, windowLength_);
    }
    if (shown) {
        const double x0 = xAt(shown->first);
        const double x1 = xAt(shown->second);
        QColor fill = theme::accent;
        fill.setAlpha(38);
        p.fillRect(QRectF(x0, 0, std::max(x1 - x0, 1.0), h), fill);
        p.setPen(QPen(theme::accent, 1));
        p.drawLine(QPointF(x0, 0), QPointF(x0, h));
        p.drawLine(QPointF(x1, 0), QPointF(x1, h));
    }

    QColor base = enabled_ ? color_ : theme::secondaryText.darker(140);
    if (previewExtent_) base.setAlpha(110);
    drawBars(p, samples_, peak_, 0, duration_, base);
    if (previewExtent_) {
        drawBars(p, previewSamples_, previewPeak_, previewExtent_->first, previewExtent_->second,
                 enabled_ ? theme::processed : theme::secondaryText);
    }

    p.setPen(QPen(theme::border, 1));
    p.drawLine(QPointF(0, h / 2), QPointF(width(), h / 2));

    const double x = xAt(position_);
    if (x >= 0 && x <= width()) {
        p.setPen(QPen(theme::playhead, 1.4));
        p.drawLine(QPointF(x, 0), QPointF(x, h));
    }
}

void WaveformView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    dragStartX_ = event->position().x();
    dragX_ = dragStartX_;
}

void WaveformView::mouseMoveEvent(QMouseEvent* event) {
    if (!dragStartX_ || !selecting_) return;
    dragX_ = event->position().x();
    update();
}

void WaveformView::mouseReleaseEvent(QMouseEvent* event) {
    if (!dragStartX_ || event->button() != Qt::LeftButton) return;
    const double x0 = *dragStartX_;
    const double x1 = event->position().x();
    dragStartX_.reset();
    dragX_.reset();
    update();
    if (selecting_ && std::fabs(x1 - x0) > kClickSlop) {
        const auto [start, end] = dragSelection(x0, x1, width(), windowStart_, windowLength_);
        if (select) select(start, end);
        return;
    }
    if (seek) seek(timeAtX(x1, width(), windowStart_, windowLength_));
}

}  // namespace corvaline::ui
