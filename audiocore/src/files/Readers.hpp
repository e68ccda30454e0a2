#pragma once
// The concrete readers and writer behind AudioIO (private to the files subsystem).

#include <filesystem>
#include <memory>
#include <string>

#include "audiocore/files/AudioFile.hpp"

namespace corvaline::detail {

/// Opens `url` with libsndfile. Returns nullptr when libsndfile does not recognise the file
/// and stores its error text in `error`; other failures throw.
std::unique_ptr<AudioFileReader> openSndFile(const std::filesystem::path& url, std::string& error);

/// Opens `url` with FFmpeg's demuxers and decoders (best audio stream), with a length exact to
/// the sample. Returns nullptr when FFmpeg does not recognise the file or finds no audio in it,
/// and stores the reason, worded for the user and naming the file, in `error`; a file FFmpeg
/// recognises but cannot read throws AudioFailure naming the file.
std::unique_ptr<AudioFileReader> openFFmpeg(const std::filesystem::path& url, std::string& error);

/// Creates a libsndfile writer: WAV (CAF when `caf`), 32-bit float or 24-bit PCM.
std::unique_ptr<AudioFileWriter> createSndFileWriter(const std::filesystem::path& url, double rate,
                                                     int channels, int bits, bool caf);

}  // namespace corvaline::detail
