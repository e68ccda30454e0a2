#pragma once
// Log-mel filterbank features for the Sidon speech-restoration predictor.
//
// One window of 16 kHz mono audio becomes Kaldi-compatible features: 25 ms / 10 ms framing with
// a Povey window, per-frame DC removal and pre-emphasis, a 512-point power spectrum, an 80-band
// mel filterbank, a floored natural log, per-band mean/variance normalisation over the window,
// and frame pairs stacked into 160-value rows (50 rows per second). The model was trained on
// exactly these numbers, so every constant and every single-precision step here is part of its
// input contract. Depends on FFTW (single precision) only.

#include <cstdint>
#include <vector>

namespace corvaline::SeamlessM4TFrontEnd {

inline constexpr int sampleRate = 16000;  ///< input rate, Hz
inline constexpr int frameLength = 400;   ///< samples per analysis frame (25 ms)
inline constexpr int hopLength = 160;     ///< samples between frame starts (10 ms)
inline constexpr int fftLength = 512;     ///< frames are zero-padded from 400 to 512
inline constexpr int numMelBins = 80;     ///< mel bands per frame
inline constexpr float preemphasis = 0.97f;
inline constexpr float melFloor = 1.1920929e-07f;       ///< 2^-23, floor before the log
inline constexpr float normEpsilon = 1e-07f;            ///< added to the variance before sqrt
inline constexpr int stride = 2;                        ///< frames stacked into one feature row
inline constexpr int featureDim = numMelBins * stride;  ///< 160 values per row
inline constexpr float minFrequency = 20.0f;            ///< lowest filter edge, Hz
inline constexpr float maxFrequency = 8000.0f;          ///< highest filter edge, Hz
/// FFT bins 0...256 of the 512-point real spectrum.
inline constexpr int numBins = fftLength / 2 + 1;

/// Flat row-major features: row i holds the 80 normalised log-mel values of frame 2i followed
/// by those of frame 2i+1.
struct Features {
    std::vector<float> features;  ///< frames x featureDim values
    int64_t frames = 0;           ///< number of 160-value rows
};

/// Features of `count` samples (mono, 16 kHz, full scale +-1). Pure and reentrant; never
/// throws. Fewer than two analysis frames (under 560 samples) or an FFT that cannot be planned
/// give an empty result with frames = 0. 160000 samples give exactly 499 rows.
Features inputFeatures(const float* audio, int64_t count);
inline Features inputFeatures(const std::vector<float>& audio) {
    return inputFeatures(audio.data(), int64_t(audio.size()));
}

/// The Povey window of `length` samples, computed in single precision (empty for 0).
std::vector<float> poveyWindow(int length);

/// The 257 x 80 mel weights, bin-major (index = bin * 80 + band); the Nyquist row is zero.
std::vector<float> makeKaldiMelFilterbank();

}  // namespace corvaline::SeamlessM4TFrontEnd
