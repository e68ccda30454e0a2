#include "sidondsp/SeamlessM4TFrontEnd.hpp"

#include <fftw3.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

namespace corvaline::SeamlessM4TFrontEnd {

namespace {

// ln(2^-23): the value of a floored band.
constexpr float kLogFloor = -15.942385f;
// Single-precision 1 - 0.97: the first sample is pre-emphasised against itself.
constexpr float kFirstSampleGain = 0.029999971f;

struct Tables {
    std::vector<float> window;
    std::vector<float> melFilters;
};

const Tables& tables() {
    static std::once_flag once;
    static Tables shared;
    std::call_once(once, [] {
        shared.window = poveyWindow(frameLength);
        shared.melFilters = makeKaldiMelFilterbank();
    });
    return shared;
}

// FFTW's planner keeps global state: plan creation and destruction must not run concurrently.
std::mutex& planMutex() {
    static std::mutex mutex;
    return mutex;
}

// One call's FFT plan and its aligned buffers, released on every path.
class RealFFT {
  public:
    RealFFT() {
        input_ = fftwf_alloc_real(fftLength);
        output_ = fftwf_alloc_complex(numBins);
        if (!input_ || !output_) return;
        std::lock_guard lock(planMutex());
        plan_ = fftwf_plan_dft_r2c_1d(fftLength, input_, output_, FFTW_ESTIMATE);
    }
    ~RealFFT() {
        if (plan_) {
            std::lock_guard lock(planMutex());
            fftwf_destroy_plan(plan_);
        }
        if (input_) fftwf_free(input_);
        if (output_) fftwf_free(output_);
    }
    RealFFT(const RealFFT&) = delete;
    RealFFT& operator=(const RealFFT&) = delete;

    bool valid() const { return plan_ != nullptr; }
    float* input() { return input_; }
    const fftwf_complex* output() const { return output_; }
    void execute() { fftwf_execute(plan_); }

  private:
    float* input_ = nullptr;
    fftwf_complex* output_ = nullptr;
    fftwf_plan plan_ = nullptr;
};

}  // namespace

std::vector<float> poveyWindow(int length) {
    if (length <= 0) return {};
    std::vector<float> window(static_cast<size_t>(length));
    const float denominator = float(length - 1);
    for (int n = 0; n < length; ++n) {
        // A one-sample window has 0/0 here; Kaldi's window is then 1.
        const float phase = length > 1 ? float(n) * 6.283185f / denominator : 0.0f;
        window[size_t(n)] = std::pow(0.5f - 0.5f * std::cos(phase), 0.85f);
    }
    if (length == 1) window[0] = 1.0f;
    return window;
}

std::vector<float> makeKaldiMelFilterbank() {
    constexpr int kEdges = numMelBins + 2;  // 82 points on the mel axis
    constexpr float kMelLow = 31.748642f;   // mel(20 Hz)
    constexpr float kMelSpan = 2808.2893f;  // mel(8000 Hz) - mel(20 Hz)
    float edges[kEdges];
    for (int k = 0; k < kEdges; ++k) {
        edges[k] = ((float(k) / float(kEdges - 1)) * kMelSpan) + kMelLow;
    }
    std::vector<float> weights(size_t(numBins) * numMelBins, 0.0f);
    for (int k = 0; k < numBins - 1; ++k) {
        const float binMel = 1127.0f * std::log(1.0f + (float(k) * 31.25f) / 700.0f);
        for (int m = 0; m < numMelBins; ++m) {
            // Triangles in mel space, not in Hz.
            const float rising = (binMel - edges[m]) / (edges[m + 1] - edges[m]);
            const float falling = (edges[m + 2] - binMel) / (edges[m + 2] - edges[m + 1]);
            weights[size_t(k) * numMelBins + size_t(m)] = std::max(0.0f, std::min(rising, falling));
        }
    }
    // Row 256 (Nyquist) stays zero.
    return weights;
}

Features inputFeatures(const float* audio, int64_t count) {
    if (audio == nullptr || count < frameLength) return {};
    const int64_t frameCount = (count - frameLength) / hopLength + 1;
    if (frameCount < 2) return {};  // one frame cannot be normalised
    const Tables& shared = tables();
    RealFFT fft;
    if (!fft.valid()) return {};

    std::vector<float> logMel(size_t(frameCount) * numMelBins);
    float power[numBins];
    float energy[numMelBins];
    float* frame = fft.input();
    const float* window = shared.window.data();
    const float* filters = shared.melFilters.data();

    for (int64_t t = 0; t < frameCount; ++t) {
        const float* source = audio + t * hopLength;
        // Scale to 16-bit sample units and remove the frame's DC.
        double sum = 0.0;
        for (int n = 0; n < frameLength; ++n) {
            frame[n] = source[n] * 32768.0f;
            sum += double(frame[n]);
        }
        const float mean = float(sum / double(frameLength));
        for (int n = 0; n < frameLength; ++n)
            frame[n] -= mean;
        // Pre-emphasis from the end so that each step sees the unfiltered previous sample.
        for (int n = frameLength - 1; n >= 1; --n)
            frame[n] -= preemphasis * frame[n - 1];
        frame[0] *= kFirstSampleGain;
        for (int n = 0; n < frameLength; ++n)
            frame[n] *= window[n];
        std::memset(frame + frameLength, 0, sizeof(float) * (fftLength - frameLength));

        fft.execute();  // FFTW's r2c output is the unnormalised DFT
        const fftwf_complex* spectrum = fft.output();
        for (int k = 0; k < numBins; ++k) {
            power[k] = spectrum[k][0] * spectrum[k][0] + spectrum[k][1] * spectrum[k][1];
        }

        // Bands accumulate in increasing bin order; the zero Nyquist row still carries a
        // non-finite power through (0 x inf = NaN).
        std::fill(energy, energy + numMelBins, 0.0f);
        for (int k = 0; k < numBins - 1; ++k) {
            const float p = power[k];
            const float* row = filters + size_t(k) * numMelBins;
            for (int m = 0; m < numMelBins; ++m)
                energy[m] += p * row[m];
        }
        const float* nyquistRow = filters + size_t(numBins - 1) * numMelBins;
        float* out = logMel.data() + size_t(t) * numMelBins;
        for (int m = 0; m < numMelBins; ++m) {
            const float e = energy[m] + power[numBins - 1] * nyquistRow[m];
            if (std::isnan(e)) {
                out[m] = e;
            } else {
                out[m] = e >= melFloor ? std::log(e) : kLogFloor;
            }
        }
    }

    // Per-band mean and sample variance over the window, summed in frame order.
    const float frames = float(frameCount);
    for (int m = 0; m < numMelBins; ++m) {
        float sum = 0.0f;
        for (int64_t t = 0; t < frameCount; ++t)
            sum += logMel[size_t(t) * numMelBins + m];
        const float mean = sum / frames;
        float squares = 0.0f;
        for (int64_t t = 0; t < frameCount; ++t) {
            const float d = logMel[size_t(t) * numMelBins + m] - mean;
            squares += d * d;
        }
        const float variance = squares / (frames - 1.0f);
        const float scale = 1.0f / std::sqrt(variance + normEpsilon);
        for (int64_t t = 0; t < frameCount; ++t) {
            float& v = logMel[size_t(t) * numMelBins + m];
            v = (v - mean) * scale;
        }
    }

    // Stack frame pairs: the first F x 160 values in memory order; an odd last frame is
    // dropped after it has counted in the statistics.
    Features result;
    result.frames = frameCount / stride;
    logMel.resize(size_t(result.frames) * featureDim);
    result.features = std::move(logMel);
    return result;
}

}  // namespace corvaline::SeamlessM4TFrontEnd
