#pragma once
// AudioDSP::render: the finished version of a whole audio file written to a WAV file.
//
// When a true-peak guarantee is wanted the limiter alone is not trusted: the pass that writes
// the destination also measures what it writes with the strict true-peak meter (TruePeakMeter:
// 8x windowed-sinc interpolation refined to 64x, read as an upper bound, plus the most integer
// rounding can add), not with the limiter's 4x detector, which can sit 0.2-0.7 dB under what an
// accurate meter shows for hot material. When the reading is over the ceiling less 0.01 dB the
// chain runs again with a linked safety trim after it (never a boost), and once more if that
// still misses. No float intermediate is written; writing and measuring run on a second thread
// beside the chain.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <vector>

#include "audiocore/finishing/FinishingInput.hpp"
#include "audiocore/finishing/OriginalAudioReference.hpp"
#include "audiocore/model/AudioInfo.hpp"
#include "audiocore/model/ProcessingSettings.hpp"
#include "audiocore/platform/Progress.hpp"

namespace corvaline::AudioDSP {

/// Data bytes at or above this are refused: 32 000 000 below the RIFF limit, leaving room for
/// the header and the recorder metadata chunks.
inline constexpr uint64_t kMaxDataBytes = 4'262'967'295ULL;

/// Renders `source` through the finishing chain into `destination`.
///
/// `bits` 32 writes 32-bit float, any other value integer PCM of that depth (24 in practice,
/// clipped on conversion, never wrapped). `verifiedCeiling` (dBTP) is a ceiling the result must
/// be proven to meet; verification also happens when the limiter with true peak or the
/// normalisation is on, but never when no channel is processed. `progress` is called after
/// every written block of the main pass.
///
/// Throws AudioFailure "Choose a different output file to protect the source recording."
/// (destination is the source, the original or the sidechain, symbolic links resolved),
/// "Export exceeds the 4 GB WAV limit. Use a shorter source for this version." and
/// "PCM conversion could not meet the selected true-peak ceiling."; stream, writer, meter and
/// file errors propagate, as does Cancelled (checked before every block). A failed render may
/// leave a partly written destination.
void render(const std::filesystem::path& source, const std::filesystem::path& destination,
            const ProcessingSettings& settings, const std::vector<ChannelSettings>& channels,
            int bits, std::optional<OriginalAudioReference> original = std::nullopt,
            std::optional<OriginalAudioReference> sidechain = std::nullopt,
            std::optional<double> verifiedCeiling = std::nullopt,
            const ProgressCallback& progress = {}, std::stop_token cancel = {});

/// The same render for an input record; `input.range`, when given, limits it to those frames.
void render(const FinishingInput& input, const std::filesystem::path& destination, int bits,
            std::optional<double> verifiedCeiling = std::nullopt,
            const ProgressCallback& progress = {}, std::stop_token cancel = {});

/// Throws "Export exceeds the 4 GB WAV limit. Use a shorter source for this version." when
/// ⌊channels × bits / 8⌋ × frames reaches kMaxDataBytes.
void requireWaveSize(int channels, int bits, int64_t frames);

/// True when `a` and `b` name the same file: equal after resolving symbolic links, or (both
/// existing) the same inode.
bool isSameFile(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace corvaline::AudioDSP
