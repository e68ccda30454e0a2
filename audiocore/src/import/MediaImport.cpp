#include "audiocore/import/MediaImport.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <optional>
#include <set>
#include <stdexcept>

#include "MediaAsset.hpp"
#include "audiocore/files/AudioAnalysis.hpp"
#include "audiocore/files/AudioIO.hpp"
#include "audiocore/import/MXFImport.hpp"
#include "audiocore/import/TrackExtraction.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Uuid.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace corvaline::MediaImport {

namespace {

/// Bytes per second of declared duration that any file with sound in it holds at least.
constexpr double kMinimumBytesPerSecond = 8;

std::string lowerExtension(const fs::path& url) {
    std::string ext = url.extension().string();
    if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return ext;
}

// Extensions of the system's movie types beyond the four always recognised.
const std::set<std::string>& movieExtensions() {
    static const std::set<std::string> extensions = {
        "mp4",  "mov", "m4v", "mxf", "mkv", "webm", "avi", "mpg", "mpeg", "m2v", "mts",
        "m2ts", "ts",  "3gp", "3g2", "dv",  "wmv",  "flv", "ogv", "qt",   "vob"};
    return extensions;
}

std::vector<std::string> patternsFor(std::initializer_list<const char*> extensions) {
    std::vector<std::string> patterns;
    for (const char* ext : extensions) {
        std::string lower = std::string("*.") + ext;
        std::string upper = lower;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return char(std::toupper(c)); });
        patterns.push_back(lower);
        patterns.push_back(upper);
    }
    return patterns;
}

/// Names channel k "Track t / Channel c" from the per-track channel counts; channels beyond
/// the counts keep their names.
void nameTracks(std::vector<ChannelInfo>& channels, const std::vector<int>& counts) {
    for (size_t k = 0; k < channels.size(); ++k) {
        int64_t before = 0;
        for (size_t t = 0; t < counts.size(); ++t) {
            if (before + counts[t] > int64_t(k)) {
                channels[k].name = "Track " + std::to_string(t + 1) + " / Channel " +
                                   std::to_string(int64_t(k) - before + 1);
                break;
            }
            before += counts[t];
        }
    }
}

/// Refuses a declared duration far beyond what the container holds (a damaged or forged
/// header would otherwise have the import write hours of silence).
void checkDeclaredDuration(const MediaAsset& asset) {
    const double duration = asset.duration();
    if (!std::isfinite(duration)) return;  // videoLayout refuses it
    const double indexed = asset.indexedEnd();
    char detail[160] = {};
    if (std::isfinite(indexed)) {
        // Every packet is indexed: the data ends at the last one (plus its own length).
        if (duration <= 2 * std::max(indexed, 0.0) + 10) return;
        std::snprintf(detail, sizeof detail,
                      "\nIts header declares %.1f s, but its audio and video end after %.1f s.",
                      duration, std::max(indexed, 0.0));
    } else {
        // No index: even the leanest audio codec needs some bytes per second of sound.
        if (double(asset.fileSize()) >= duration * kMinimumBytesPerSecond) return;
        std::snprintf(detail, sizeof detail,
                      "\nIts header declares %.1f s, more than its %lld bytes can hold.", duration,
                      static_cast<long long>(asset.fileSize()));
    }
    throw AudioFailure(std::string("The video has an invalid duration.") + detail);
}

/// The Part's message with the file named in front, unless it already names it.
AudioFailure naming(const fs::path& url, const AudioFailure& failure) {
    const std::string name = "\u201C" + url.filename().string() + "\u201D";
    const std::string message = failure.message();
    if (message.find(name) != std::string::npos) return failure;
    return AudioFailure("Could not import " + name + ". " + message);
}

AudioInfo readVideo(const fs::path& url, const fs::path& folder,
                    const ImportEnvironment& environment, ProgressLimiter& progress,
                    std::stop_token cancel) {
    const MediaAsset asset(url);
    const auto& tracks = asset.audioTracks();
    if (tracks.empty()) throw AudioFailure("This video has no audio track.");

    std::vector<std::pair<double, int>> formats;
    for (const auto& track : tracks)
        formats.emplace_back(track.sampleRate, track.channels);
    const VideoLayout layout = videoLayout(formats, asset.duration());
    checkDeclaredDuration(asset);
    for (const auto& track : tracks)
        if (!track.decodable)
            throw AudioFailure("FFmpeg cannot decode this video's audio codec (" + track.codec +
                               ").");
    const double common = layout.rate;
    const double duration = asset.duration();
    int totalChannels = 0;
    for (int count : layout.counts)
        totalChannels += count;

    std::vector<TrackPlan> plans;
    int64_t longest = layout.frames;
    const int n = int(tracks.size());
    for (int i = 0; i < n; ++i) {
        const AssetTrack& track = tracks[size_t(i)];
        TrackPlan plan;
        plan.rate = track.sampleRate;
        plan.channels = track.channels;
        std::tie(plan.startFrame, plan.endFrame) =
            trackFrameRange(track.sampleRate, track.start, track.end);
        plan.trackFrames = std::llround(track.sampleRate * duration);
        plan.index = i;
        plan.trackCount = n;
        // A track may run up to one second (plus a buffer) past the movie's end.
        const int64_t reach = std::min(plan.endFrame, plan.trackFrames + 2 * int64_t(plan.rate));
        longest = std::max(longest, convertedLength(reach, plan.rate, common));
        plans.push_back(plan);
    }

    const uint64_t needed = extractionBytes(totalChannels, longest);
    if (const auto available = environment.freeSpace ? environment.freeSpace(folder)
                                                     : MXFImport::availableCapacity(folder);
        available && *available < needed)
        throw AudioFailure("Not enough free disk space to extract this video's audio.");

    // Every track is decoded once, straight into the final file at the common rate, all of
    // them from one pass over the container; a container whose tracks lie too far apart for
    // that is read once per track instead. The blocks are analysed on their way to the file
    // (the timeline's length is known before the first one), so the file is never read back
    // unless a track ran past the timeline and made it longer.
    const fs::path audio = folder / "Audio.caf";
    std::optional<AudioAnalysis> analysis;
    int64_t length = 0;
    const auto write = [&](bool together) {
        auto sources = openTracks(asset, together ? environment.maxHeldBytes : 0);
        std::vector<std::unique_ptr<TrackLane>> lanes;
        for (int i = 0; i < n; ++i)
            lanes.push_back(
                std::make_unique<TrackLane>(*sources[size_t(i)], plans[size_t(i)], common, cancel));
        analysis.emplace(totalChannels, layout.frames);
        bool analysing = true;
        auto writer = AudioIO::writer(audio, common, totalChannels, 32);
        AudioBuffer out(totalChannels, kImportBlock);
        int64_t done = 0;
        for (;;) {
            throwIfCancelled(cancel);
            uint32_t reached = 0;
            int offset = 0;
            for (auto& lane : lanes) {
                float* const* planes = out.planes() + offset;
                const uint32_t got = lane->pull(planes, kImportBlock);
                // A track that has ended is silent for the rest of the timeline.
                if (got < kImportBlock)
                    for (int c = 0; c < lane->channels(); ++c)
                        std::fill(planes[c] + got, planes[c] + kImportBlock, 0.0f);
                reached = std::max(reached, got);
                offset += lane->channels();
            }
            const auto block = uint32_t(std::max<int64_t>(
                reached, std::clamp<int64_t>(layout.frames - done, 0, kImportBlock)));
            if (block == 0) break;
            out.setFrameLength(block);
            writer->write(out);
            if (analysing && block <= analysis->length() - analysis->position())
                analysis->add(out.planes(), block);
            else
                analysing = false;
            done += block;
            if (progress.due())
                progress.report(
                    0.9 * std::min(double(done) / double(std::max(longest, int64_t(1))), 1.0));
        }
        writer->close();
        if (!analysing || !analysis->complete()) analysis.reset();
        length = done;
    };
    try {
        write(true);
    } catch (const FFmpegDecoder::Unshareable&) {
        write(false);
    }
    progress.report(0.9);

    if (!analysis) return describe(url, audio, layout.counts, cancel);
    std::vector<ChannelInfo> channels = analysis->channels();
    nameTracks(channels, layout.counts);
    throwIfCancelled(cancel);
    // What analysing the CAF would say: 32-bit float, no recorder metadata.
    return AudioInfo(audio, common, length, 32, std::move(channels), WaveMetadata(), url);
}

}  // namespace

bool isVideo(const fs::path& url) {
    return movieExtensions().count(lowerExtension(url)) > 0;
}

std::vector<ContentType> contentTypes() {
    return {
        {"Audio", patternsFor({"wav", "bwf", "rf64", "w64", "aif", "aiff", "aifc", "caf", "mp3",
                               "m4a", "aac", "flac", "ogg"})},
        {"Movie", patternsFor({"mp4", "mov", "m4v", "mkv", "webm", "avi", "mpg", "mpeg", "mts",
                               "m2ts", "ts", "3gp", "dv", "qt"})},
        {"WAV", patternsFor({"wav", "bwf", "rf64"})},
        {"AIFF", patternsFor({"aif", "aiff", "aifc"})},
        {"MP3", patternsFor({"mp3"})},
        {"MPEG-4 Audio", patternsFor({"m4a", "aac"})},
        {"MXF", patternsFor({"mxf"})},
    };
}

std::vector<std::string> filePatterns() {
    std::vector<std::string> all;
    std::set<std::string> seen;
    for (const auto& type : contentTypes())
        for (const auto& pattern : type.patterns)
            if (seen.insert(pattern).second) all.push_back(pattern);
    return all;
}

AudioInfo read(const fs::path& url, const fs::path& workspace, const ProgressCallback& progress,
               std::stop_token cancel, const fs::path& mxfHelpers) {
    return read(url, workspace, ImportEnvironment(), progress, cancel, mxfHelpers);
}

AudioInfo read(const fs::path& url, const fs::path& workspace, const ImportEnvironment& environment,
               const ProgressCallback& progress, std::stop_token cancel,
               const fs::path& mxfHelpers) {
    throwIfCancelled(cancel);
    if (!isVideo(url)) return AudioIO::analyze(url, cancel);

    const fs::path folder = workspace / ("Video-" + newUuidString());
    fs::create_directories(folder);
    ScopedRemoval guard(folder);  // the import folder goes unless the import succeeds
    ProgressLimiter limiter(progress);
    AudioInfo info;
    try {
        if (lowerExtension(url) == "mxf") {
            info = MXFImport::read(
                url, folder, [&](double f) { limiter.report(f); }, cancel, mxfHelpers,
                environment.freeSpace);
        } else {
            info = readVideo(url, folder, environment, limiter, cancel);
        }
    } catch (const AudioFailure& failure) {
        throw naming(url, failure);
    }
    guard.release();
    limiter.force(1.0);
    return info;
}

AudioInfo describe(const fs::path& source, const fs::path& audio, const std::vector<int>& counts,
                   std::stop_token cancel) {
    AudioInfo analysed = AudioIO::analyze(audio, cancel);
    std::vector<ChannelInfo> channels = std::move(analysed.channels);
    nameTracks(channels, counts);
    return AudioInfo(audio, analysed.sampleRate, analysed.frameCount, analysed.bitDepth,
                     std::move(channels), analysed.metadata, source);
}

void merge(const std::vector<fs::path>& files, const fs::path& destination, double rate,
           int channels, int64_t duration, const ProgressCallback& progress,
           std::stop_token cancel) {
    std::vector<std::unique_ptr<AudioFileReader>> readers;
    std::vector<AudioBuffer> buffers;
    std::vector<int64_t> remaining;
    int64_t length = std::max<int64_t>(duration, 0);
    for (const auto& file : files) {
        readers.push_back(AudioIO::open(file));
        const auto& reader = readers.back();
        remaining.push_back(reader->length());
        length = std::max(length, reader->length());
    }
    int sum = 0;
    for (const auto& reader : readers)
        sum += reader->channelCount();
    if (sum > channels)
        throw std::invalid_argument("merge: the tracks have more channels than the destination");
    for (const auto& reader : readers)
        buffers.emplace_back(reader->channelCount(), kImportBlock);

    auto writer = AudioIO::writer(destination, rate, channels, 32);
    AudioBuffer out(channels, kImportBlock);
    int64_t done = 0;
    IntervalGate gate;
    while (done < length) {
        throwIfCancelled(cancel);
        const auto block = uint32_t(std::min<int64_t>(length - done, kImportBlock));
        out.zero();
        out.setFrameLength(block);
        int offset = 0;
        for (size_t i = 0; i < readers.size(); ++i) {
            AudioFileReader& reader = *readers[i];
            AudioBuffer& buffer = buffers[i];
            const int count = reader.channelCount();
            const auto want = uint32_t(std::min<int64_t>(remaining[i], block));
            uint32_t got = 0;
            while (got < want) {
                const uint32_t n = reader.read(buffer, want - got);
                if (n == 0) break;
                for (int c = 0; c < count; ++c)
                    std::copy_n(buffer.channel(c), n, out.channel(offset + c) + got);
                got += n;
            }
            if (got < want) throw AudioFailure("A decoded video track ended unexpectedly.");
            remaining[i] -= got;
            offset += count;
        }
        writer->write(out);
        done += block;
        if (progress && (gate.pass() || done == length)) progress(double(done) / double(length));
    }
    writer->close();
}

}  // namespace corvaline::MediaImport
