#pragma once
// `WaveformView`: one channel's overview as vertical bars scaled by the channel's peak, the
// rendered preview drawn over the span it covers, the selection and the playhead. A click
// seeks; in selection mode a drag (in either direction) selects the dragged span.

#include <QColor>
#include <QWidget>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

namespace corvaline::ui {

class WaveformView : public QWidget {
    Q_OBJECT
  public:
    explicit WaveformView(QWidget* parent = nullptr);

    /// The channel's overview points (linear peaks) and its whole-channel peak.
    void setSamples(std::vector<float> samples, float peak, double duration);
    /// The rendered preview of this channel over [extent.first, extent.second] seconds.
    void setPreview(std::vector<float> samples, float peak, std::pair<double, double> extent);
    void clearPreview();
    /// Playhead, seconds.
    void setPosition(double seconds);
    void setSelection(std::optional<std::pair<double, double>> selection);
    /// Shown part of the recording: start and length in seconds.
    void setWindow(double start, double length);
    void setColor(QColor color);
    void setWaveformEnabled(bool enabled);
    void setSelecting(bool selecting);

    /// Called with the clicked time (seconds).
    std::function<void(double seconds)> seek;
    /// Called with the ordered (start, end) of a drag in selection mode.
    std::function<void(double start, double end)> select;

    double duration() const { return duration_; }
    bool selecting() const { return selecting_; }
    QSize sizeHint() const override { return {400, 64}; }

  protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;

  private:
    void drawBars(QPainter& p, const std::vector<float>& samples, float peak, double from,
                  double to, const QColor& color) const;
    double xAt(double seconds) const;

    std::vector<float> samples_;
    float peak_ = 0;
    double duration_ = 0;
    std::vector<float> previewSamples_;
    float previewPeak_ = 0;
    std::optional<std::pair<double, double>> previewExtent_;
    double position_ = 0;
    std::optional<std::pair<double, double>> selection_;
    double windowStart_ = 0;
    double windowLength_ = 0;
    QColor color_;
    bool enabled_ = true;
    bool selecting_ = false;
    // Transient drag state.
    std::optional<double> dragStartX_;
    std::optional<double> dragX_;
};

}  // namespace corvaline::ui
