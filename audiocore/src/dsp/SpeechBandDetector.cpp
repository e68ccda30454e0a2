#include "audiocore/dsp/SpeechBandDetector.hpp"

#include <algorithm>

#include "audiocore/dsp/Guard.hpp"

namespace corvaline {

SpeechBandDetector::SpeechBandDetector(double rate)
    : highPass(EQKind::highPass, rate, 150, 0, 0.70710678),
      lowPass(EQKind::lowPass, rate, std::min(0.4 * rate, 3200.0), 0, 0.70710678),
      coefficient(dsp_detail::onePole(rate, 0.015)),
      energy(0) {}

}  // namespace corvaline
