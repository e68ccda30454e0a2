#include "audiocore/install/VerifiedDownload.hpp"

// The libcurl functions are called through pointers (below): the header's type-checking
// macros would take those calls for its own.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Cancellation.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FileDescriptor.hpp"
#include "audiocore/platform/SharedLibrary.hpp"
#include "audiocore/platform/WorkingFile.hpp"

namespace fs = std::filesystem;

namespace corvaline::VerifiedDownload {

namespace {

struct DigestContext {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~DigestContext() { EVP_MD_CTX_free(ctx); }
};

void throwCryptoFailure() {
    throw LibraryError("OpenSSL", "SHA-256 computation failed");
}

void beginDigest(DigestContext& digest) {
    if (!digest.ctx || EVP_DigestInit_ex(digest.ctx, EVP_sha256(), nullptr) != 1) {
        throwCryptoFailure();
    }
}

/// The finished digest as lowercase hexadecimal.
std::string finishDigest(DigestContext& digest) {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(digest.ctx, bytes, &length) != 1 || length != 32) throwCryptoFailure();
    static const char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[bytes[i] >> 4]);
        text.push_back(hex[bytes[i] & 0x0f]);
    }
    return text;
}

/// libcurl, opened the first time an address is checked or a file downloaded rather than by
/// the dynamic loader at start-up (with the TLS and name-service libraries it pulls in: most
/// runs download nothing), initialised once, with the functions the downloads call.
class CurlLibrary : public LazyLibraries {
  public:
    CurlLibrary()
        : LazyLibraries(
              {{"libcurl.so.4"}, "libcurl", "downloads models and runtimes", "libcurl4"}) {}

    CORVALINE_LIBRARY_FUNCTION(curl_global_init);
    CORVALINE_LIBRARY_FUNCTION(curl_easy_init);
    CORVALINE_LIBRARY_FUNCTION(curl_easy_cleanup);
    CORVALINE_LIBRARY_FUNCTION(curl_easy_setopt);
    CORVALINE_LIBRARY_FUNCTION(curl_easy_getinfo);
    CORVALINE_LIBRARY_FUNCTION(curl_easy_perform);
    CORVALINE_LIBRARY_FUNCTION(curl_easy_strerror);
    CORVALINE_LIBRARY_FUNCTION(curl_url);
    CORVALINE_LIBRARY_FUNCTION(curl_url_cleanup);
    CORVALINE_LIBRARY_FUNCTION(curl_url_get);
    CORVALINE_LIBRARY_FUNCTION(curl_url_set);
    CORVALINE_LIBRARY_FUNCTION(curl_free);

  private:
    void initialise() const override {
        if (const CURLcode code = curl_global_init(CURL_GLOBAL_DEFAULT))
            throw SharedLibrary::Unavailable(description().sonames.front() + ": " +
                                             curl_easy_strerror(code));
    }
};

/// The library (unloaded until requireCurl or isAllowedAddress: every call into it follows
/// one of them).
const CurlLibrary& cu() {
    static const CurlLibrary library;
    return library;
}

/// Loads libcurl before anything is downloaded to `destination`; refuses the download
/// without it.
void requireCurl(const fs::path& destination) {
    cu().require<MissingLibrary>("Could not download " + quotedName(destination));
}

struct ParsedUrl {
    CURLU* handle = cu().curl_url();
    ~ParsedUrl() { cu().curl_url_cleanup(handle); }
};

/// Lower-case text of one part of a parsed address; empty when it has none.
std::string urlPart(CURLU* url, CURLUPart part) {
    char* text = nullptr;
    if (cu().curl_url_get(url, part, &text, 0) != CURLUE_OK || !text) return {};
    std::string value(text);
    cu().curl_free(text);
    for (auto& c : value)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return value;
}

/// State shared with libcurl's callbacks during one transfer.
struct Transfer {
    CURL* curl = nullptr;
    int fd = -1;
    EVP_MD_CTX* digest = nullptr;  ///< hashes the body as it is written
    std::stop_token stop;
    DownloadObserver* observer = nullptr;
    ProgressLimiter* limiter = nullptr;
    std::int64_t written = 0;
    std::int64_t expectedTotal = -1;
    bool badStatus = false;
    int writeErrno = 0;
    bool digestFailed = false;
    bool cancelled = false;
};

/// The server of `url` as the user reads it: its host name, or "the server".
std::string hostOf(const std::string& url) {
    ParsedUrl parsed;
    if (parsed.handle &&
        cu().curl_url_set(parsed.handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        const std::string host = urlPart(parsed.handle, CURLUPART_HOST);
        if (!host.empty()) return host;
    }
    return "the server";
}

/// Why a transfer failed, in a user's words (libcurl's own text follows on a second line).
std::string transferReason(CURLcode result) {
    switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return "the server's address could not be found (is this computer online?)";
        case CURLE_COULDNT_CONNECT:
            return "the server could not be reached";
        case CURLE_OPERATION_TIMEDOUT:
            return "the connection timed out";
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
            return "a secure connection could not be made (the server's certificate was not "
                   "accepted, or the connection was interfered with)";
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
            return "the connection broke off before the file arrived";
        case CURLE_UNSUPPORTED_PROTOCOL:
        case CURLE_TOO_MANY_REDIRECTS:
            return "the server sent the download somewhere Corvaline does not download from";
        case CURLE_OUT_OF_MEMORY:
            return "there is not enough memory";
        default:
            return "the transfer failed";
    }
}

long responseCode(CURL* curl) {
    long code = 0;
    cu().curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

size_t writeBody(char* data, size_t size, size_t count, void* user) {
    auto& t = *static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    if (t.stop.stop_requested()) {
        t.cancelled = true;
        return CURL_WRITEFUNC_ERROR;
    }
    // An error page is never written to disk: stop at its first byte.
    if (responseCode(t.curl) != 200) {
        t.badStatus = true;
        return CURL_WRITEFUNC_ERROR;
    }
    if (t.expectedTotal < 0) {
        curl_off_t length = -1;
        if (cu().curl_easy_getinfo(t.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) ==
                CURLE_OK &&
            length > 0) {
            t.expectedTotal = length;
        } else {
            t.expectedTotal = 0;  // unknown
        }
    }
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::write(t.fd, data + done, bytes - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            t.writeErrno = errno;
            return CURL_WRITEFUNC_ERROR;
        }
        done += static_cast<size_t>(n);
    }
    if (EVP_DigestUpdate(t.digest, data, bytes) != 1) {
        t.digestFailed = true;
        return CURL_WRITEFUNC_ERROR;
    }
    t.written += static_cast<std::int64_t>(bytes);
    if (t.expectedTotal > 0 && t.observer) {
        // Only reports the limiter would forward (about ten a second) are made; the one that
        // completes the body always is.
        if (t.written >= t.expectedTotal || t.limiter->due())
            t.observer->didWrite(t.written, t.expectedTotal);
    }
    return bytes;
}

int transferInfo(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto& t = *static_cast<Transfer*>(user);
    if (t.stop.stop_requested()) {
        t.cancelled = true;
        return 1;  // aborts the transfer with CURLE_ABORTED_BY_CALLBACK
    }
    return 0;
}

struct CurlHandle {
    CURL* curl = cu().curl_easy_init();
    ~CurlHandle() {
        if (curl) cu().curl_easy_cleanup(curl);
    }
};

/// Downloads `url` into the already created, empty file behind `fd` and returns the SHA-256 of
/// the bytes written, so the file need not be read back to verify it.
std::string download(const std::string& url, int fd, const fs::path& file,
                     const ProgressCallback& progress, std::stop_token stop) {
    CurlHandle handle;
    if (!handle.curl) {
        throw AudioFailure("Could not download " + quotedName(file) +
                           ": the download could not be set up (libcurl refused to start it).");
    }
    CURL* curl = handle.curl;

    ProgressLimiter limiter(progress);
    DownloadObserver observer([&limiter](double f) {
        if (f >= 1.0) {
            limiter.force(f);
        } else {
            limiter.report(f);
        }
    });
    DigestContext digest;
    beginDigest(digest);
    Transfer t;
    t.curl = curl;
    t.fd = fd;
    t.digest = digest.ctx;
    t.stop = stop;
    t.observer = &observer;
    t.limiter = &limiter;

    char errorText[CURL_ERROR_SIZE] = {0};
    cu().curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    // isAllowedAddress() has let through HTTPS, or plain HTTP to this machine only.
    cu().curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // Published files redirect to a CDN; a redirect never leaves HTTPS (nor loopback HTTP).
    cu().curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    cu().curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    cu().curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    cu().curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    cu().curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    cu().curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    cu().curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 60L);
    // A transfer that delivers nothing for two minutes is a dead connection, not a slow one.
    cu().curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    cu().curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 120L);
    cu().curl_easy_setopt(curl, CURLOPT_USERAGENT, "Corvaline");
    cu().curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    cu().curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
    cu().curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
    cu().curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, transferInfo);
    cu().curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
    cu().curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

    const CURLcode result = cu().curl_easy_perform(curl);
    if (t.cancelled || (result == CURLE_ABORTED_BY_CALLBACK && stop.stop_requested())) {
        throw Cancelled();
    }
    if (t.writeErrno != 0) throw fileError("write", file, t.writeErrno);
    if (t.digestFailed) throwCryptoFailure();
    if (t.badStatus) throw AudioFailure(serverFailureMessage);
    if (result != CURLE_OK) {
        // A response that arrived with a status other than 200 is the server's refusal;
        // everything else (no connection, TLS, timeouts) is the network's own error.
        const long code = responseCode(curl);
        if ((code != 0 && code != 200) || result == CURLE_GOT_NOTHING) {
            throw AudioFailure(serverFailureMessage);
        }
        const std::string text = errorText[0] ? errorText : cu().curl_easy_strerror(result);
        throw AudioFailure("Could not download " + quotedName(file) + " from " + hostOf(url) +
                           ": " + transferReason(result) + ".\n" + text);
    }
    if (responseCode(curl) != 200) throw AudioFailure(serverFailureMessage);
    return finishDigest(digest);
}

}  // namespace

std::string checksum(const fs::path& file, std::stop_token stop) {
    FileDescriptor handle = FileDescriptor::open(file, O_RDONLY);
    DigestContext digest;
    beginDigest(digest);
    std::vector<unsigned char> chunk(hashChunkBytes);
    for (;;) {
        // Fill the whole chunk unless the file ends, so that every chunk but the last is 1 MiB.
        const ssize_t read = handle.readFully(chunk.data(), chunk.size());
        if (read < 0) throw fileError("read", file, errno);
        const auto filled = static_cast<std::size_t>(read);
        if (filled == 0) break;
        throwIfCancelled(stop);
        if (EVP_DigestUpdate(digest.ctx, chunk.data(), filled) != 1) throwCryptoFailure();
        if (filled < chunk.size()) break;
    }
    return finishDigest(digest);
}

bool isAllowedAddress(const std::string& url) {
    if (!cu().load()) return false;  // nothing can be downloaded anyway
    ParsedUrl parsed;
    if (!parsed.handle ||
        cu().curl_url_set(parsed.handle, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return false;
    }
    const std::string scheme = urlPart(parsed.handle, CURLUPART_SCHEME);
    if (scheme == "https") return !urlPart(parsed.handle, CURLUPART_HOST).empty();
    if (scheme != "http") return false;
    const std::string host = urlPart(parsed.handle, CURLUPART_HOST);
    return host == "127.0.0.1" || host == "[::1]" || host == "localhost";
}

bool matches(const std::string& digest, const std::string& expected) {
    return !expected.empty() && digest.size() >= expected.size() &&
           digest.compare(0, expected.size(), expected) == 0;
}

void fetch(const std::string& url, const fs::path& destination, const std::string& expected,
           const ProgressCallback& progress, std::stop_token stop) {
    requireCurl(destination);
    if (!isAllowedAddress(url)) {
        throw AudioFailure("The download address “" + url +
                           "” was refused: Corvaline downloads only over secure HTTPS "
                           "connections.");
    }
    throwIfCancelled(stop);
    std::error_code ec;
    if (fs::exists(destination, ec)) {
        std::optional<std::string> present;
        try {
            present = checksum(destination, stop);
        } catch (const Cancelled&) {
            throw;
        } catch (const std::exception&) {
            // An unreadable file is simply downloaded again.
        }
        if (present && matches(*present, expected)) {
            if (progress) progress(1.0);
            return;
        }
    }
    throwIfCancelled(stop);

    // The download is an unnamed working file beside the destination: a kill at any moment
    // leaves no partial file, and naming it into place stays on one file system and is atomic.
    const fs::path folder =
        destination.parent_path().empty() ? fs::path(".") : destination.parent_path();
    fs::create_directories(folder);
    WorkingFile temporary(folder, "download", destination.extension().string());

    std::string digest;
    {
        FileDescriptor out = FileDescriptor::open(temporary.path(), O_WRONLY | O_TRUNC);
        digest = download(url, out.get(), destination, progress, stop);
        if (const int error = out.close()) throw fileError("write", destination, error);
    }

    throwIfCancelled(stop);
    if (!matches(digest, expected)) throw AudioFailure(verificationFailureMessage);

    throwIfCancelled(stop);
    // Flushed and renamed over an existing file in one step: readers see the old file or the
    // new one.
    temporary.commit(destination);
}

}  // namespace corvaline::VerifiedDownload
