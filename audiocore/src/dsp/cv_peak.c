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

struct cv_peak {
    int channels;
    int zi; /* write index into every delay line */
    /* coeff[k][f]: tap of output phase f that reads the input delayed by k samples; taps with
     * |h| <= 1e-6 are stored as exact zeros, which leave the double sums unchanged. */
    double coeff[CV_DELAY][CV_FACTOR];
    /* Set when the taps have the usual shape: phase 0 holds only the centre tap (delay
     * `centre`) and phases 1-3 are non-zero for delays below `span` only. tick() then skips the
     * zero taps: an exact zero only adds a signed zero to a sum, which leaves its magnitude
     * unchanged. */
    int regular;
    int centre;
    int span;
    /* Per channel, the delay line twice over (2 x CV_DELAY floats) so that the newest
     * CV_DELAY samples are always contiguous. */
    float* z;
};

cv_peak* cv_peak_create(int channels) {
    if (channels < 1) channels = 1;
    cv_peak* d = (cv_peak*)calloc(1, sizeof(cv_peak));
    if (!d) return NULL;
    d->z = (float*)calloc((size_t)channels * 2 * CV_DELAY, sizeof(float));
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
        if (fabs(h) > 0.000001) d->coeff[j / CV_FACTOR][j % CV_FACTOR] = h;
    }
    int centres = 0;
    for (int k = 0; k < CV_DELAY; ++k) {
        if (d->coeff[k][0] != 0.0) {
            d->centre = k;
            ++centres;
        }
    }
    while (d->span < CV_DELAY && d->coeff[d->span][1] != 0.0)
        ++d->span;
    d->regular = centres == 1;
    for (int k = 0; k < CV_DELAY; ++k) {
        for (int f = 1; f < CV_FACTOR; ++f) {
            if ((d->coeff[k][f] != 0.0) != (k < d->span)) d->regular = 0;
        }
    }
    return d;
}

/* Stores channel c's sample in its delay line and returns the newest entry; the one delayed
 * by k is at newest[-k]. */
static const float* push(cv_peak* d, int c, float x) {
    float* z = d->z + (size_t)c * 2 * CV_DELAY;
    z[d->zi] = x;
    z[d->zi + CV_DELAY] = x;
    return z + d->zi + CV_DELAY;
}

/* The larger of `peak` and |v| once stored as a float; a NaN never wins. The result does not
 * depend on the order in which values are offered. */
static double larger(double peak, double v) {
    const double a = fabs((double)(float)v);
    return a > peak ? a : peak;
}

/* One channel: each phase accumulates its taps in order of increasing delay. */
static double one_channel(const cv_peak* d, const float* newest, double peak) {
    double acc[CV_FACTOR] = {0.0, 0.0, 0.0, 0.0};
    if (d->regular) {
        double a1 = 0.0, a2 = 0.0, a3 = 0.0;
        for (int k = 0; k < d->span; ++k) {
            const double v = (double)newest[-k];
            a1 += v * d->coeff[k][1];
            a2 += v * d->coeff[k][2];
            a3 += v * d->coeff[k][3];
        }
        acc[0] += (double)newest[-d->centre] * d->coeff[d->centre][0];
        acc[1] = a1;
        acc[2] = a2;
        acc[3] = a3;
    } else {
        for (int k = 0; k < CV_DELAY; ++k) {
            const double v = (double)newest[-k];
            for (int f = 0; f < CV_FACTOR; ++f)
                acc[f] += v * d->coeff[k][f];
        }
    }
    for (int f = 0; f < CV_FACTOR; ++f)
        peak = larger(peak, acc[f]);
    return peak;
}

/* Two channels of regular taps side by side: the same sums as one_channel, with both
 * channels' dependency chains in one loop. */
static double two_channels(const cv_peak* d, const float* p, const float* q, double peak) {
    double a1 = 0.0, a2 = 0.0, a3 = 0.0;
    double b1 = 0.0, b2 = 0.0, b3 = 0.0;
    for (int k = 0; k < d->span; ++k) {
        const double v = (double)p[-k];
        const double w = (double)q[-k];
        a1 += v * d->coeff[k][1];
        b1 += w * d->coeff[k][1];
        a2 += v * d->coeff[k][2];
        b2 += w * d->coeff[k][2];
        a3 += v * d->coeff[k][3];
        b3 += w * d->coeff[k][3];
    }
    const double centre = d->coeff[d->centre][0];
    peak = larger(peak, 0.0 + (double)p[-d->centre] * centre);
    peak = larger(peak, 0.0 + (double)q[-d->centre] * centre);
    peak = larger(peak, a1);
    peak = larger(peak, a2);
    peak = larger(peak, a3);
    peak = larger(peak, b1);
    peak = larger(peak, b2);
    return larger(peak, b3);
}

double cv_peak_tick(cv_peak* d, const float* frame) {
    if (!d || !frame) return 0;
    double peak = 0;
    for (int c = 0; c < d->channels; ++c) {
        const double a = fabs((double)frame[c]);
        if (a > peak) peak = a;
    }
    int c = 0;
    if (d->regular) {
        for (; c + 1 < d->channels; c += 2) {
            const float* p = push(d, c, frame[c]);
            const float* q = push(d, c + 1, frame[c + 1]);
            peak = two_channels(d, p, q, peak);
        }
    }
    for (; c < d->channels; ++c)
        peak = one_channel(d, push(d, c, frame[c]), peak);
    if (++d->zi == CV_DELAY) d->zi = 0;
    return peak;
}

void cv_peak_reset(cv_peak* d) {
    if (!d) return;
    memset(d->z, 0, (size_t)d->channels * 2 * CV_DELAY * sizeof(float));
    d->zi = 0;
}

void cv_peak_destroy(cv_peak* d) {
    if (!d) return;
    free(d->z);
    free(d);
}
