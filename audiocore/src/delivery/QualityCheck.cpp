#include "audiocore/delivery/QualityCheck.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "audiocore/dsp/TruePeakMeter.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/finishing/LoudnessMeter.hpp"
#include "audiocore/model/AudioBuffer.hpp"
#include "audiocore/platform/Cancellation.hpp"

namespace corvaline {

namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

double decibels(double amplitude) {
    return amplitude > 0 ? 20 * std::log10(amplitude) : kMinusInfinity;
}

// The series keeps at most about this many points; longer files get a coarser step (a
// multiple of the 100 ms at which momentary loudness moves).
constexpr double kMaxSeriesPoints = 4000;

std::string number(double value, int decimals = 1) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string signedTolerance(double value) {
    return "\u00b1" + number(value);
}

}  // namespace

std::string ComplianceVerdict::reason() const {
    std::string out;
    for (const ComplianceCriterion& criterion : criteria) {
        if (criterion.passed || criterion.informative) continue;
        if (!out.empty()) out += "; ";
        std::string name = criterion.name;
        if (!name.empty()) name[0] = char(std::tolower(static_cast<unsigned char>(name[0])));
        if (!criterion.measured) {
            out += name + " could not be measured (silent or too short), required " +
                   criterion.requirement;
        } else if (criterion.unit == "dBTP") {
            // Two decimals, so that a reading just over the limit never prints as the limit.
            out += name + " " + number(*criterion.measured, 2) + " dBTP is above " +
                   criterion.requirement.substr(criterion.requirement.find(' ') + 1);
        } else {
            out += name + " " + number(*criterion.measured) + " " + criterion.unit +
                   " is outside " + criterion.requirement;
        }
    }
    return out;
}

namespace QualityCheck {

QualityMeasurement measure(const std::filesystem::path& file,
                           const std::optional<std::vector<bool>>& programme,
                           std::stop_token cancel, const std::function<void(double)>& progress,
                           bool strictPeaks) {
    auto reader = AudioIO::open(file);
    QualityMeasurement m;
    m.sampleRate = reader->sampleRate();
    m.channelCount = reader->channelCount();
    m.frames = reader->length();
    m.bitDepth = reader->fileBitDepth();

    std::vector<bool> selected(size_t(m.channelCount), true);
    if (programme) {
        for (int c = 0; c < m.channelCount; ++c) {
            selected[size_t(c)] = size_t(c) < programme->size() && (*programme)[size_t(c)];
        }
    }
    LoudnessMeter meter(m.sampleRate, m.channelCount, selected);
    for (int c : meter.indices())
        m.programmeChannels.push_back(c + 1);

    // Every channel's true peak is read with the export's strict meter (one per channel, so
    // that each channel has its own reading; a meter skips spans that cannot raise its peak).
    std::vector<TruePeakMeter> strict;
    strict.reserve(size_t(m.channelCount));
    for (int c = 0; c < m.channelCount && strictPeaks; ++c)
        strict.emplace_back(1);

    // Points every `step` seconds, read in blocks of one step (a multiple of 100 ms).
    const double seconds = m.duration();
    const int tenths = std::max(1, int(std::ceil(seconds / kMaxSeriesPoints / 0.1)));
    m.seriesStep = 0.1 * tenths;
    const uint32_t tenth = uint32_t(std::max(1.0, std::round(m.sampleRate / 10)));
    const uint32_t capacity = tenth * uint32_t(tenths);
    AudioBuffer block(m.channelCount, capacity);
    std::vector<float> samplePeaks(size_t(m.channelCount), 0.0f);
    m.series.reserve(size_t(seconds / m.seriesStep) + 2);

    double maxMomentary = kMinusInfinity;
    double maxShortTerm = kMinusInfinity;
    int64_t done = 0;
    while (reader->position() < m.frames) {
        throwIfCancelled(cancel);
        const uint32_t got = reader->read(block, capacity);
        if (got == 0) break;
        for (int c = 0; c < m.channelCount; ++c) {
            float peak = samplePeaks[size_t(c)];
            const float* x = block.channel(c);
            for (uint32_t i = 0; i < got; ++i) {
                const float a = std::fabs(x[i]);
                if (a > peak) peak = a;  // NaN never raises it
            }
            samplePeaks[size_t(c)] = peak;
        }
        meter.add(block);
        for (size_t c = 0; c < strict.size(); ++c) {
            const float* plane = block.channel(int(c));
            strict[c].add(&plane, got);
        }
        done += got;
        const double momentary = meter.momentary();
        const double shortTerm = meter.shortTerm();
        const double at = double(done) / m.sampleRate;
        // The windows are full only after 400 ms and 3 s; earlier readings are not reported.
        if (at >= 0.4 - 1e-9 && std::isfinite(momentary)) {
            maxMomentary = std::max(maxMomentary, momentary);
        }
        if (at >= 3.0 - 1e-9 && std::isfinite(shortTerm)) {
            maxShortTerm = std::max(maxShortTerm, shortTerm);
        }
        m.series.push_back({at, at >= 0.4 - 1e-9 ? momentary : kMinusInfinity,
                            at >= 3.0 - 1e-9 ? shortTerm : kMinusInfinity,
                            decibels(meter.lastTruePeak())});
        if (progress && m.frames > 0) progress(std::min(1.0, double(done) / double(m.frames)));
    }
    m.loudness = meter.report();
    if (std::isfinite(maxMomentary)) m.maxMomentary = maxMomentary;
    if (std::isfinite(maxShortTerm)) m.maxShortTerm = maxShortTerm;

    std::vector<double> truePeaks(size_t(m.channelCount), 0.0);
    for (int c = 0; c < m.channelCount && strictPeaks; ++c) {
        truePeaks[size_t(c)] = strict[size_t(c)].peak();
    }
    for (size_t i = 0; i < meter.indices().size() && !strictPeaks; ++i) {
        truePeaks[size_t(meter.indices()[i])] = meter.channelTruePeaks()[i];
    }
    for (int c = 0; c < m.channelCount; ++c) {
        // A true peak is never below the sample peak it interpolates between.
        const double tp = std::max(truePeaks[size_t(c)], double(samplePeaks[size_t(c)]));
        m.channels.push_back({c + 1, decibels(tp), decibels(samplePeaks[size_t(c)])});
    }
    m.strictTruePeak = kMinusInfinity;
    for (int c : meter.indices()) {
        m.strictTruePeak = std::max(m.strictTruePeak, m.channels[size_t(c)].truePeak);
    }
    return m;
}

ComplianceVerdict judge(const QualityMeasurement& m, const DeliveryStandard& standard) {
    ComplianceVerdict verdict;
    const std::string unit(standard.unit);

    ComplianceCriterion integrated;
    integrated.name = "Integrated loudness";
    integrated.unit = unit;
    integrated.measured = m.loudness.integrated;
    integrated.requirement =
        number(standard.targetLUFS) + " " + signedTolerance(standard.toleranceLU) + " " + unit;
    // Judged on the unrounded reading, so that no meter that rounds differently fails it.
    integrated.passed =
        m.loudness.integrated &&
        std::fabs(*m.loudness.integrated - standard.targetLUFS) <= standard.toleranceLU + 1e-9;
    verdict.criteria.push_back(integrated);

    ComplianceCriterion peak;
    peak.name = "True peak";
    peak.unit = "dBTP";
    if (std::isfinite(m.strictTruePeak)) peak.measured = m.strictTruePeak;
    peak.requirement = "\u2264 " + number(standard.maxTruePeakDBTP) + " dBTP";
    // Judged on the unrounded strict reading: a peak may never round its way under a ceiling.
    peak.passed = !(m.strictTruePeak > standard.maxTruePeakDBTP);
    if (!std::isfinite(m.strictTruePeak)) peak.measured = std::nullopt, peak.passed = true;
    verdict.criteria.push_back(peak);

    ComplianceCriterion range;
    range.name = "Loudness range";
    range.unit = "LU";
    range.measured = m.loudness.range;
    if (standard.maxRangeLU) {
        range.requirement = "\u2264 " + number(*standard.maxRangeLU) + " LU";
        range.passed = !m.loudness.range || *m.loudness.range <= *standard.maxRangeLU + 1e-9;
    } else {
        range.requirement = "reported";
        range.informative = true;
    }
    verdict.criteria.push_back(range);

    for (const ComplianceCriterion& criterion : verdict.criteria) {
        if (!criterion.passed && !criterion.informative) verdict.compliant = false;
    }
    return verdict;
}

}  // namespace QualityCheck

}  // namespace corvaline
