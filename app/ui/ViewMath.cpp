#include "ViewMath.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "audiocore/dsp/Biquad.hpp"
#include "audiocore/dsp/StreamingDSP.hpp"

namespace corvaline::ui {

namespace {

double clamp01(double v) {
    return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0;
}

}  // namespace

std::string clockString(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    // Truncate, as a display of elapsed time does; 1e11 s is far beyond any recording.
    const auto ms = static_cast<long long>(std::trunc(std::min(seconds, 1e11) * 1000));
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld.%03lld", ms / 60000, (ms / 1000) % 60,
                  ms % 1000);
    return text;
}

std::string meterText(double levelDB) {
    if (!std::isfinite(levelDB) || levelDB <= kMeterFloorDB) return "-inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", levelDB);
    return text;
}

bool meterWarning(double levelDB) {
    return std::isfinite(levelDB) && levelDB >= -1;
}

double meterFraction(double levelDB) {
    if (!std::isfinite(levelDB) || levelDB <= kMeterFloorDB) return 0;
    return clamp01((levelDB + 60) / 60);
}

double miniMeterFraction(double levelDB) {
    return clamp01((levelDB + 60) / 60);
}

bool miniMeterWarning(double levelDB) {
    return std::isfinite(levelDB) && levelDB > -1;
}

double eqPlotRate(double selectedRate) {
    return std::isfinite(selectedRate) && selectedRate > 0 ? selectedRate : 48000;
}

double eqMaxFrequency(double selectedRate) {
    return std::min(0.45 * eqPlotRate(selectedRate), 20000.0);
}

double eqCurveFrequency(int index, double fmax) {
    return kEQMinFrequency *
           std::pow(fmax / kEQMinFrequency, double(index) / double(kEQCurvePoints - 1));
}

std::vector<double> eqCurve(const ProcessingSettings& settings, double rate) {
    std::vector<double> curve(kEQCurvePoints, 0.0);
    if (!settings.eqEnabled) return curve;
    const double designRate = eqPlotRate(rate);
    const double fmax = eqMaxFrequency(rate);
    for (const auto& band : settings.eqBands) {
        if (!band.enabled) continue;
        const Biquad section(band, designRate);
        for (int i = 0; i < kEQCurvePoints; ++i) {
            curve[i] += section.response(eqCurveFrequency(i, fmax), designRate);
        }
    }
    return curve;
}

double eqXFraction(double frequency, double fmax) {
    if (!(fmax > kEQMinFrequency) || !(frequency > 0)) return 0;
    return clamp01(std::log(frequency / kEQMinFrequency) / std::log(fmax / kEQMinFrequency));
}

double eqYFraction(double gainDB) {
    return clamp01(0.5 - gainDB / (2 * kEQRangeDB));
}

double eqFrequencyForDrag(double fraction, double fmax) {
    return kEQMinFrequency * std::pow(fmax / kEQMinFrequency, clamp01(fraction));
}

double eqGainForDrag(double fraction) {
    if (!std::isfinite(fraction)) return 0;
    return std::clamp((0.5 - fraction) * 2 * kEQRangeDB, -kEQRangeDB, kEQRangeDB);
}

double eqHandleGain(const EQBand& band) {
    return hasGain(band.kind) ? band.gain : 0.0;
}

std::vector<std::pair<double, double>> compressorCurve(double threshold, double ratio, double knee,
                                                       double makeup) {
    std::vector<std::pair<double, double>> curve;
    curve.reserve(kCompressorCurvePoints);
    for (int i = 0; i < kCompressorCurvePoints; ++i) {
        const double input = -60 + 0.5 * i;
        const double reduction = StreamingDSP::reduction(input, threshold, ratio, knee);
        curve.emplace_back(input, input - reduction + (std::isfinite(makeup) ? makeup : 0));
    }
    return curve;
}

double compressorAxisFraction(double levelDB) {
    return clamp01((levelDB + 60) / 60);
}

std::pair<double, double> dragSelection(double x0, double x1, double width, double viewStart,
                                        double viewDuration) {
    const double a = timeAtX(x0, width, viewStart, viewDuration);
    const double b = timeAtX(x1, width, viewStart, viewDuration);
    return {std::min(a, b), std::max(a, b)};
}

double timeAtX(double x, double width, double viewStart, double viewDuration) {
    if (!(width > 0) || !(viewDuration > 0)) return std::max(viewStart, 0.0);
    return viewStart + clamp01(x / width) * viewDuration;
}

double seekFraction(double seconds, double duration) {
    if (!(duration > 0) || !std::isfinite(seconds)) return 0;
    return clamp01(seconds / duration);
}

double waveformBarWidth(double width, int points) {
    if (points <= 0) return 0.75;
    return std::max(width / points, 0.75);
}

std::pair<double, double> zoomWindow(double duration, double zoom, double time) {
    if (!(duration > 0)) return {0, 0};
    const double z = std::isfinite(zoom) ? std::max(zoom, 1.0) : 1.0;
    const double length = duration / z;
    const double t = std::isfinite(time) ? time : 0;
    const double start = std::clamp(t - length / 2, 0.0, duration - length);
    return {start, length};
}

double zoomStep(double zoom, bool in) {
    const double z = std::isfinite(zoom) ? std::clamp(zoom, 1.0, 64.0) : 1.0;
    return std::clamp(in ? z * 2 : z / 2, 1.0, 64.0);
}

double parameterValue(double position, double lo, double hi, bool logarithmic) {
    const double p = clamp01(position);
    if (logarithmic && lo > 0 && hi > 0) return lo * std::pow(hi / lo, p);
    return lo + (hi - lo) * p;
}

double parameterPosition(double value, double lo, double hi, bool logarithmic) {
    if (!std::isfinite(value) || hi == lo) return 0;
    if (logarithmic && lo > 0 && hi > 0) {
        if (value <= lo) return 0;
        return clamp01(std::log(value / lo) / std::log(hi / lo));
    }
    return clamp01((value - lo) / (hi - lo));
}

double clampParameter(double value, double lo, double hi, double current) {
    if (!std::isfinite(value)) return current;
    return std::clamp(value, lo, hi);
}

}  // namespace corvaline::ui
