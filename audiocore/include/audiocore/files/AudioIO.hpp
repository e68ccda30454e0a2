#pragma once
// The engine's single doorway to audio files. Stateless; every call owns its file objects
// and buffers. Streaming loops move at most 32768 frames per read.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "audiocore/files/AudioFile.hpp"
#include "audiocore/model/AudioFrameRange.hpp"
#include "audiocore/model/AudioInfo.hpp"

namespace corvaline::AudioIO {

/// Frames moved per read by every streaming loop of the engine.
inline constexpr uint32_t kBlockFrames = 32768;
/// Overview points per channel (fewer for shorter files).
inline constexpr int64_t kOverviewPoints = 1800;

/// Opens any readable audio file (WAV/BWF, RF64, AIFF, CAF, MP3, FLAC, Ogg through libsndfile;
/// AAC/M4A and others through FFmpeg) for 32-bit float reading. Platform errors propagate.
std::unique_ptr<AudioFileReader> open(const std::filesystem::path& url);

/// Analyses a file into an AudioInfo (overview, peak, RMS, names from recorder metadata, and
/// warnings()). Throws AudioFailure "The file is empty or has more than 128 channels." (a file
/// whose header promises audio of which nothing is present is refused as damaged, naming it);
/// Cancelled when `cancel` is requested (checked once per block).
AudioInfo analyze(const std::filesystem::path& url, std::stop_token cancel = {});

/// What the user should know about the file `file` reads from `url`, one sentence each: a
/// WAV/BWF, RF64 or AIFF file whose header promises more audio than the file holds is damaged
/// ("“take.wav” is damaged: its header promises 1:00.0 but only 0:41.3 is present; Corvaline
/// imports the part that is present."). Never throws: a header that cannot be read gives no
/// warning.
std::vector<std::string> warnings(const std::filesystem::path& url, const AudioFileReader& file);

/// Reads exactly `frames` frames into `target` through `scratch` (both of the file's channel
/// count, capacity >= frames). Throws "Audio ended before its declared frame count." when
/// the file ends early; the target's frame length is then unchanged.
void readExactly(AudioFileReader& file, AudioBuffer& target, AudioBuffer& scratch, uint32_t frames);

/// Creates a linear-PCM file: 32 -> 32-bit float, 24 -> 24-bit integer (clipped, never
/// wrapped). WAV unless the extension is ".caf" (CAF). Platform errors propagate.
std::unique_ptr<AudioFileWriter> writer(const std::filesystem::path& url, double rate, int channels,
                                        int bits);

/// Copies `range` of `source` into a new 32-bit float file at `destination`. Throws
/// "The preview range extends beyond the recording." when the source is too short;
/// Cancelled once per block (the partial file stays for the caller to remove).
void extract(const std::filesystem::path& source, const std::filesystem::path& destination,
             AudioFrameRange range, std::stop_token cancel = {});

/// Writes the 12-second, four-channel, 48 kHz synthetic demo recording. It is made in a
/// working file beside `url` and named into place when whole (WorkingFile): an existing file
/// stays as it was until then, and a refused destination throws FileError naming it.
void demo(const std::filesystem::path& url);

}  // namespace corvaline::AudioIO
