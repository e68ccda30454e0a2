#pragma once
// One second-order filter section: audio-EQ-cookbook designs with guarded parameters,
// transposed direct form II processing, and the magnitude response for the EQ curve.

#include "audiocore/model/ProcessingSettings.hpp"

namespace corvaline {

/// Normalised coefficients (already divided by a0) and the two state words of a transposed
/// direct form II section. A default-constructed section is the identity (pass-through).
struct Biquad {
    double b0 = 1;
    double b1 = 0;
    double b2 = 0;
    double a1 = 0;
    double a2 = 0;
    double z1 = 0;
    double z2 = 0;

    /// The identity section: b0 = 1, everything else 0.
    Biquad() = default;

    /// Designs `kind` at `rate` Hz. The frequency is taken as 1000 Hz when not finite, then
    /// limited to at most 0.45 × rate and after that to at least 10 Hz; the gain counts as 0 dB
    /// when not finite, else is clamped to −24…+24 dB (used by the shelves and the bell only);
    /// Q counts as 0.70710678 when not finite, else is clamped to 0.1…18. State starts at 0.
    Biquad(EQKind kind, double rate, double frequency, double gain, double q);

    /// The same design from a band's kind, frequency, gain and Q. `band.enabled` is ignored:
    /// the caller puts the identity section in place of a disabled band.
    Biquad(const EQBand& band, double rate);

    /// The identity section (same as the default constructor).
    static Biquad identity() { return Biquad(); }

    /// Magnitude response in dB at `frequency` (no clamp applied), never below −150 dB.
    /// The state words are not touched.
    double response(double frequency, double rate) const;

    /// Filters one sample in place of the state. Callers feed finite samples only.
    double process(double x) {
        const double y = b0 * x + z1;
        z1 = z2 + (b1 * x - a1 * y);
        z2 = b2 * x - a2 * y;
        return y;
    }

    /// Clears the two state words, keeping the coefficients.
    void reset() { z1 = z2 = 0; }

    friend bool operator==(const Biquad&, const Biquad&) = default;
};

/// Two sections side by side, one in each lane of a register (two channels, or two
/// detectors): each lane does exactly the arithmetic of Biquad::process.
struct BiquadPair {
    typedef double Lanes __attribute__((vector_size(16)));
    Lanes b0, b1, b2, a1, a2, z1, z2;

    BiquadPair() = default;
    /// `p` in lane 0 and `q` in lane 1, coefficients and state.
    BiquadPair(const Biquad& p, const Biquad& q)
        : b0{p.b0, q.b0},
          b1{p.b1, q.b1},
          b2{p.b2, q.b2},
          a1{p.a1, q.a1},
          a2{p.a2, q.a2},
          z1{p.z1, q.z1},
          z2{p.z2, q.z2} {}

    Lanes process(Lanes x) {
        const Lanes y = b0 * x + z1;
        z1 = z2 + (b1 * x - a1 * y);
        z2 = b2 * x - a2 * y;
        return y;
    }

    /// Writes each lane's state back to its section.
    void storeState(Biquad& p, Biquad& q) const {
        p.z1 = z1[0];
        p.z2 = z2[0];
        q.z1 = z1[1];
        q.z2 = z2[1];
    }
};

}  // namespace corvaline
