#pragma once
// Downloads whose SHA-256 must match a pinned value before the file is put in place.
//
// A file already at the destination with the expected digest is kept and nothing is
// requested, so an interrupted installation resumes cheaply. A download lands in an unnamed
// working file beside the destination (WorkingFile: nothing is left even by a kill), is hashed
// as it arrives, and only a verified file replaces the destination, atomically. A failed or
// cancelled fetch leaves an existing destination exactly as it was.

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>

#include "audiocore/platform/Progress.hpp"

namespace corvaline {

/// Turns byte counts of a running transfer into progress fractions. Holds the one callback
/// it reports to; there is no way to make one without it.
class DownloadObserver {
  public:
    explicit DownloadObserver(ProgressCallback report) : report_(std::move(report)) {}
    DownloadObserver() = delete;

    /// Called each time data was written: reports written / expected when the expected total
    /// is known (> 0); nothing when the server sent no length.
    void didWrite(std::int64_t written, std::int64_t expectedTotal) const {
        if (expectedTotal > 0 && report_) {
            report_(static_cast<double>(written) / static_cast<double>(expectedTotal));
        }
    }

  private:
    ProgressCallback report_;
};

namespace VerifiedDownload {

/// Failure for a missing HTTP response or any status other than 200.
inline constexpr const char* serverFailureMessage =
    "The download server could not provide this file. Check your connection and try again.";
/// Failure for a downloaded file whose digest does not match (the file is deleted).
inline constexpr const char* verificationFailureMessage =
    "Download verification failed. The file was discarded; please retry.";

/// Size of the chunks in which files are read for hashing.
inline constexpr std::size_t hashChunkBytes = 1048576;

/// SHA-256 of a file as 64 lower-case hex digits, streamed in 1 MiB chunks (constant memory).
/// Cancellation is checked before each chunk. Throws std::filesystem::filesystem_error when
/// the file cannot be opened or read, Cancelled when `stop` is requested.
std::string checksum(const std::filesystem::path& file, std::stop_token stop = {});

/// True when `digest` begins with `expected`. An empty expectation never matches; comparison
/// is exact text, so an upper-case expectation never matches a (lower-case) digest. With a
/// full 64-digit value this is equality; a shorter value is a published digest prefix.
bool matches(const std::string& digest, const std::string& expected);

/// True for an https:// address, and for a plain http:// address of this machine (127.0.0.1,
/// [::1], localhost: the test servers). Everything else would travel in clear or is no web
/// address at all. Addresses are read by libcurl, which is loaded on first use; without it
/// nothing is allowed.
bool isAllowedAddress(const std::string& url);

/// Makes `destination` hold a file whose SHA-256 matches `expected`, downloading `url`
/// (https; certificates are verified; redirects stay on https) when the present file does not
/// match. Any other address is refused before anything is read or requested.
/// Progress: one report of 1.0 when the present file already matches; otherwise
/// bytes written / expected total while the body arrives (rate-limited; none when the server
/// sends no length). `progress` may be called from the transfer thread (the calling thread).
///
/// Throws MissingLibrary naming the file, the library and its Debian package when libcurl
/// cannot be loaded, AudioFailure naming the address when isAllowedAddress() refuses it,
/// AudioFailure(serverFailureMessage) on a missing response or a status other than
/// 200, AudioFailure(verificationFailureMessage) on a digest mismatch, AudioFailure naming the
/// file, the server and what went wrong for network errors ("Could not download “x.pt” from
/// example.org: the connection timed out.", libcurl's text on a second line),
/// std::filesystem::filesystem_error for file errors, Cancelled when `stop` is requested (the
/// transfer is aborted within about a second).
void fetch(const std::string& url, const std::filesystem::path& destination,
           const std::string& expected, const ProgressCallback& progress,
           std::stop_token stop = {});

}  // namespace VerifiedDownload

}  // namespace corvaline
