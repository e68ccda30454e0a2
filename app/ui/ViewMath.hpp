#pragma once
// The drawing and gesture arithmetic of the main window's small views: the time display, the
// meters, the EQ and compressor plots, the waveform's drag selection and logarithmic
// controls. Plain functions of plain values, so the views stay thin and the rules are testable
// without a window.

#include <string>
#include <utility>
#include <vector>

#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline::ui {

/// "mm:ss.mmm" of `seconds`: the time is truncated to whole milliseconds; minutes are not
/// wrapped (3725.5 s reads "62:05.500"). Negative or non-finite times read "00:00.000".
std::string clockString(double seconds);

/// Levels at or below this read "-inf" on a meter.
inline constexpr double kMeterFloorDB = -90;

/// A meter's reading: "-inf" at or below −90 dBFS, otherwise "%.1f".
std::string meterText(double levelDB);
/// `MeterView` draws levels at or above −1 dBFS in the warning colour.
bool meterWarning(double levelDB);
/// `MeterView`'s bar fraction over its −60…0 dB scale, clamped to 0…1.
double meterFraction(double levelDB);

/// `MiniMeter`'s bar fraction: (level + 60) / 60 clamped to 0…1 (0 for non-finite levels).
double miniMeterFraction(double levelDB);
/// `MiniMeter` warns strictly above −1 dBFS.
bool miniMeterWarning(double levelDB);

// ---- EqualizerPlot ----

inline constexpr double kEQMinFrequency = 20;
inline constexpr int kEQCurvePoints = 201;
inline constexpr double kEQRangeDB = 24;  ///< the vertical axis spans ±24 dB

/// The sample rate the EQ plot designs with: the selected recording's, 48000 without one
/// (or when the recording's rate is not a positive finite number).
double eqPlotRate(double selectedRate);
/// Upper end of the frequency axis: min(0.45 × rate, 20000) for eqPlotRate(rate).
double eqMaxFrequency(double selectedRate);
/// Frequency of curve point i (0…200): 20 × (fmax / 20)^(i / 200).
double eqCurveFrequency(int index, double fmax);
/// The 201-point EQ curve in dB: the sum of the enabled bands' Biquad responses at each
/// point's frequency, designed at `rate` (eqPlotRate). Flat (all 0 dB) while the EQ is off.
std::vector<double> eqCurve(const ProcessingSettings& settings, double rate);
/// Horizontal position (0…1) of `frequency` on the log axis 20 Hz…fmax, clamped to 0…1.
double eqXFraction(double frequency, double fmax);
/// Vertical position (0 = top, 1 = bottom) of `gainDB` on the ±24 dB axis, clamped to 0…1.
double eqYFraction(double gainDB);
/// The frequency a handle dragged to x / width = `fraction` sets: 20 × (fmax / 20)^fraction,
/// with the fraction clamped to 0…1 so a drag never leaves the axis.
double eqFrequencyForDrag(double fraction, double fmax);
/// The gain a handle dragged to y / height = `fraction` sets: clamp((0.5 − fraction) × 48,
/// −24, 24).
double eqGainForDrag(double fraction);
/// Handle diameter in points: 18 for the selected band, 12 otherwise.
inline double eqHandleSize(bool selected) {
    return selected ? 18 : 12;
}
/// The gain a band's handle sits at: its gain for kinds with gain, 0 dB otherwise.
double eqHandleGain(const EQBand& band);

// ---- CompressorPlot ----

inline constexpr int kCompressorCurvePoints = 121;
/// The static curve: for input −60 + 0.5 × i dB (i = 0…120) the output level in dB, i.e. the
/// input minus the compressor's static reduction plus makeup.
std::vector<std::pair<double, double>> compressorCurve(double threshold, double ratio, double knee,
                                                       double makeup);
/// Position (0…1, 0 = left/bottom) of a level on the plot's −60…0 dB axes, clamped.
double compressorAxisFraction(double levelDB);

// ---- WaveformView ----

/// The selection a drag from x0 to x1 (either direction) over a view `width` wide covering
/// [viewStart, viewStart + viewDuration] seconds makes: ordered (start, end) seconds, both
/// clamped to the view.
std::pair<double, double> dragSelection(double x0, double x1, double width, double viewStart,
                                        double viewDuration);
/// The time a click at x lands on, clamped to the view.
double timeAtX(double x, double width, double viewStart, double viewDuration);
/// Fraction of the file (for `AppState::seek`) of a time, 0 for an empty file.
double seekFraction(double seconds, double duration);
/// Width of one overview bar: the point spacing, at least 0.75.
double waveformBarWidth(double width, int points);
/// The part of a `duration`-second recording the waveforms show at `zoom` (≥ 1): duration /
/// zoom seconds, centred on the playhead `time` as far as the file allows. (start, length).
std::pair<double, double> zoomWindow(double duration, double zoom, double time);
/// The next zoom step in (`in`) or out: factors of 2 between 1 and 64.
double zoomStep(double zoom, bool in);

// ---- Parameter controls ----

/// Value of a slider position p (0…1): linear lo + (hi − lo) × p, or lo × (hi / lo)^p when
/// logarithmic (lo > 0).
double parameterValue(double position, double lo, double hi, bool logarithmic);
/// Slider position (0…1) of a value, the inverse of parameterValue, clamped.
double parameterPosition(double value, double lo, double hi, bool logarithmic);
/// `CompactParameter`'s commit: the value clamped to the range; non-finite keeps `current`.
double clampParameter(double value, double lo, double hi, double current);

}  // namespace corvaline::ui
