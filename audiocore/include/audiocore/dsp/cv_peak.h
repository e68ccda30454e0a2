#ifndef CORVALINE_CV_PEAK_H
#define CORVALINE_CV_PEAK_H
/* Streaming 4x true-peak detector.
 *
 * A 4-phase polyphase FIR of 49 Hann-windowed sinc taps (the same interpolator libebur128
 * uses for its true-peak measurement, which that library does not export). Each tick takes one
 * frame and reports the largest absolute value among the frame's own samples and the four
 * oversampled values per channel it produces. The interpolator holds a 13-sample delay line
 * per channel, so its output lags the input by up to 13 frames. */

#ifdef __cplusplus
extern "C" {
#endif

typedef struct cv_peak cv_peak;

/* Allocates a detector for max(1, channels) channels, delay lines zeroed.
 * Returns NULL when memory runs out. */
cv_peak* cv_peak_create(int channels);

/* Takes one frame (one float per channel, as many as the detector was created for) and returns
 * the largest |sample| among the frame itself and its four interpolated values per channel.
 * Non-finite samples are not filtered out here: callers pass finite samples. */
double cv_peak_tick(cv_peak* detector, const float* frame);

/* Zeroes the delay lines. */
void cv_peak_reset(cv_peak* detector);

/* Frees the detector; NULL is ignored. */
void cv_peak_destroy(cv_peak* detector);

#ifdef __cplusplus
}
#endif

#endif /* CORVALINE_CV_PEAK_H */
