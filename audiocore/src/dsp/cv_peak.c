/* Streaming 4x true-peak detector: the 49-tap, 4-phase polyphase interpolator of
 * ITU-R BS.1770 style true-peak meters, written to match libebur128's own interpolator
 * sample for sample (same taps, same float delay line, double accumulation). */

#include "audiocore/dsp/cv_peak.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#ifndef M_PI
#define M_PI 3.14159265358979323846
#endif

enum { CV_TAPS = 49, CV_FACTOR = 4, CV_DELAY = (CV_TAPS + CV_FACTOR - 1) / CV_FACTOR };

typedef struct {
    int count;
    int index[CV_TAPS]; /* input delay of each kept tap */
    double coeff[CV_TAPS];
} cv_phase;

struct cv_peak {
    int channels;
    int zi; /* write index into every delay line */
    cv_phase phase[CV_FACTOR];
    float* z; /* channels x CV_DELAY, channel-major */
};

cv_peak* cv_peak_create(int channels) {
    if (channels < 1) channels = 1;
    cv_peak* d = (cv_peak*)calloc(1, sizeof(cv_peak));
    if (!d) return NULL;
    d->z = (float*)calloc((size_t)channels * CV_DELAY, sizeof(float));
    if (!d->z) {
        free(d);
        return NULL;
    }
    d->channels = channels;
    for (int j = 0; j < CV_TAPS; ++j) {
        const double m = (double)j - (double)(CV_TAPS - 1) / 2.0;
        double h = 1.0;
        if (fabs(m) > 0.000001) h = sin(m * M_PI / CV_FACTOR) / (m * M_PI / CV_FACTOR);
        h *= 0.5 * (1 - cos(2 * M_PI * j / (CV_TAPS - 1)));
        if (fabs(h) > 0.000001) {
            cv_phase* p = &d->phase[j % CV_FACTOR];
            p->index[p->count] = j / CV_FACTOR;
            p->coeff[p->count] = h;
            p->count++;
        }
    }
    return d;
}

double cv_peak_tick(cv_peak* d, const float* frame) {
    if (!d || !frame) return 0;
    double peak = 0;
    for (int c = 0; c < d->channels; ++c) {
        float* z = d->z + (size_t)c * CV_DELAY;
        const float x = frame[c];
        z[d->zi] = x;
        double a = fabs((double)x);
        if (a > peak) peak = a;
        for (int f = 0; f < CV_FACTOR; ++f) {
            const cv_phase* p = &d->phase[f];
            double acc = 0.0;
            for (int t = 0; t < p->count; ++t) {
                int i = d->zi - p->index[t];
                if (i < 0) i += CV_DELAY;
                acc += (double)z[i] * p->coeff[t];
            }
            a = fabs((double)(float)acc);
            if (a > peak) peak = a;
        }
    }
    if (++d->zi == CV_DELAY) d->zi = 0;
    return peak;
}

void cv_peak_reset(cv_peak* d) {
    if (!d) return;
    memset(d->z, 0, (size_t)d->channels * CV_DELAY * sizeof(float));
    d->zi = 0;
}

void cv_peak_destroy(cv_peak* d) {
    if (!d) return;
    free(d->z);
    free(d);
}
