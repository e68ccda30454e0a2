#include "audiocore/dsp/Biquad.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "audiocore/model/SettingsFields.hpp"

namespace corvaline {

Biquad::Biquad(EQKind kind, double rate, double frequency, double gain, double q) {
    // The frequency is limited to 0.45 × rate first, then raised to the band's lowest design
    // frequency (10 Hz), which wins at very low rates.
    frequency = std::max(std::min(Setting::bandFrequency.finiteOr(frequency), 0.45 * rate),
                         Setting::bandFrequency.guardLow);
    gain = Setting::bandGain.guard(gain);
    q = Setting::bandQ.guard(q);

    const double w0 = 2 * std::numbers::pi * frequency / rate;
    const double c = std::cos(w0);
    const double s = std::sin(w0);
    const double alpha = s / (2 * q);
    const double A = std::pow(10.0, gain / 40);
    const double k = 2 * std::sqrt(A) * alpha;

    double rb0 = 1, rb1 = 0, rb2 = 0, ra0 = 1, ra1 = 0, ra2 = 0;
    switch (kind) {
        case EQKind::highPass:
            rb0 = (1 + c) / 2;
            rb1 = -(1 + c);
            rb2 = (1 + c) / 2;
            ra0 = 1 + alpha;
            ra1 = -2 * c;
            ra2 = 1 - alpha;
            break;
        case EQKind::lowShelf:
            rb0 = A * ((A + 1) - (A - 1) * c + k);
            rb1 = 2 * A * ((A - 1) - (A + 1) * c);
            rb2 = A * ((A + 1) - (A - 1) * c - k);
            ra0 = (A + 1) + (A - 1) * c + k;
            ra1 = -2 * ((A - 1) + (A + 1) * c);
            ra2 = (A + 1) + (A - 1) * c - k;
            break;
        case EQKind::peak:
            rb0 = 1 + alpha * A;
            rb1 = -2 * c;
            rb2 = 1 - alpha * A;
            ra0 = 1 + alpha / A;
            ra1 = -2 * c;
            ra2 = 1 - alpha / A;
            break;
        case EQKind::highShelf:
            rb0 = A * ((A + 1) + (A - 1) * c + k);
            rb1 = -2 * A * ((A - 1) + (A + 1) * c);
            rb2 = A * ((A + 1) + (A - 1) * c - k);
            ra0 = (A + 1) - (A - 1) * c + k;
            ra1 = 2 * ((A - 1) - (A + 1) * c);
            ra2 = (A + 1) - (A - 1) * c - k;
            break;
        case EQKind::lowPass:
            rb0 = (1 - c) / 2;
            rb1 = 1 - c;
            rb2 = (1 - c) / 2;
            ra0 = 1 + alpha;
            ra1 = -2 * c;
            ra2 = 1 - alpha;
            break;
        case EQKind::notch:
            rb0 = 1;
            rb1 = -2 * c;
            rb2 = 1;
            ra0 = 1 + alpha;
            ra1 = -2 * c;
            ra2 = 1 - alpha;
            break;
    }
    b0 = rb0 / ra0;
    b1 = rb1 / ra0;
    b2 = rb2 / ra0;
    a1 = ra1 / ra0;
    a2 = ra2 / ra0;
}

Biquad::Biquad(const EQBand& band, double rate)
    : Biquad(band.kind, rate, band.frequency, band.gain, band.q) {}

double Biquad::response(double frequency, double rate) const {
    const double w = 2 * std::numbers::pi * frequency / rate;
    const double c1 = std::cos(w), s1 = std::sin(w);
    const double c2 = std::cos(2 * w), s2 = std::sin(2 * w);
    const double nr = b0 + b1 * c1 + b2 * c2;
    const double ni = -(b1 * s1 + b2 * s2);
    const double dr = 1 + a1 * c1 + a2 * c2;
    const double di = -(a1 * s1 + a2 * s2);
    const double n2 = nr * nr + ni * ni;
    const double d2 = dr * dr + di * di;
    return 10 * std::log10(std::max(n2 / std::max(d2, 1e-15), 1e-15));
}

}  // namespace corvaline
