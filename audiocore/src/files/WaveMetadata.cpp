// Chunk-level reading and appending of WAV (RIFF, RF64, BW64) recorder metadata.

#include "audiocore/model/WaveMetadata.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>

#include "TextUtil.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/Process.hpp"

namespace fs = std::filesystem;

namespace corvaline {
namespace {

constexpr uint32_t kUnknownSize = 0xFFFFFFFFu;
constexpr uint32_t kLargestPreservedChunk = 16777216;  // 16 MiB
constexpr uint32_t kSmallestDs64 = 28;
constexpr uint32_t kLargestDs64 = 1048576;
constexpr int kHighestIxmlChannel = 256;

/// A file descriptor closed on every exit.
class File {
  public:
    File(const fs::path& url, int flags) : fd_(::open(url.c_str(), flags | O_CLOEXEC)) {
        if (fd_ < 0) throw fs::filesystem_error("Cannot open file", url, errnoCode());
    }
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    /// Reads up to `size` bytes at the current position; fewer only at the end of the file.
    size_t read(void* into, size_t size) {
        auto* bytes = static_cast<uint8_t*>(into);
        size_t done = 0;
        while (done < size) {
            const ssize_t got = ::read(fd_, bytes + done, size - done);
            if (got < 0) {
                if (errno == EINTR) continue;
                throw systemError("Reading WAV chunks");
            }
            if (got == 0) break;
            done += size_t(got);
        }
        return done;
    }

    void writeAll(const void* from, size_t size) {
        const auto* bytes = static_cast<const uint8_t*>(from);
        while (size > 0) {
            const ssize_t put = ::write(fd_, bytes, size);
            if (put < 0) {
                if (errno == EINTR) continue;
                throw systemError("Writing WAV chunks");
            }
            bytes += put;
            size -= size_t(put);
        }
    }

    uint64_t seek(uint64_t offset, int whence) {
        const off_t at = ::lseek(fd_, off_t(offset), whence);
        if (at < 0) throw systemError("Positioning in WAV file");
        return uint64_t(at);
    }

    uint64_t size() {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) throw systemError("Reading WAV file size");
        return uint64_t(st.st_size);
    }

  private:
    static std::error_code errnoCode() { return std::error_code(errno, std::generic_category()); }
    int fd_;
};

uint64_t uint64(const std::vector<uint8_t>& bytes, size_t lowOffset) {
    return uint64_t(WaveMetadata::uint32(bytes, lowOffset)) |
           (uint64_t(WaveMetadata::uint32(bytes, lowOffset + 4)) << 32);
}

std::string fourCC(const uint8_t* bytes) {
    return repairUtf8(std::string_view(reinterpret_cast<const char*>(bytes), 4));
}

// Text content of a node: every text and CDATA section it contains, in document order.
std::string textContent(const pugi::xml_node& node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
        return node.value();
    }
    std::string text;
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
        text += textContent(child);
    }
    return text;
}

std::string firstText(const pugi::xml_document& doc, const char* path) {
    const pugi::xpath_node found = doc.select_node(path);
    return found ? textContent(found.node()) : std::string();
}

void readIxml(const std::vector<uint8_t>& body, WaveMetadata& meta) {
    pugi::xml_document doc;
    if (!doc.load_buffer(body.data(), body.size())) return;
    meta.scene = firstText(doc, "//SCENE");
    meta.take = firstText(doc, "//TAKE");
    pugi::xpath_node_set tracks = doc.select_nodes("//TRACK_LIST/TRACK");
    tracks.sort();
    for (const pugi::xpath_node& found : tracks) {
        const pugi::xml_node track = found.node();
        int64_t index = int64_t(meta.channelNames.size()) + 1;
        if (const pugi::xml_node indexNode = track.child("CHANNEL_INDEX")) {
            if (auto parsed = text::parseDecimal(textContent(indexNode))) index = *parsed;
        }
        if (index < 1 || index > kHighestIxmlChannel) continue;
        if (meta.channelNames.size() < size_t(index)) meta.channelNames.resize(size_t(index));
        const pugi::xml_node name = track.child("NAME");
        meta.channelNames[size_t(index - 1)] = name ? textContent(name) : std::string();
    }
}

void readBext(const std::vector<uint8_t>& body, WaveMetadata& meta) {
    if (body.size() < 346) return;
    meta.originator = text::trimWhitespaceAndControls(
        repairUtf8(std::string_view(reinterpret_cast<const char*>(body.data()) + 256, 32)));
    meta.timeReference = uint64(body, 338);
}

}  // namespace

uint32_t WaveMetadata::uint32(const std::vector<uint8_t>& bytes, size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 4) return 0;
    return uint32_t(bytes[offset]) | (uint32_t(bytes[offset + 1]) << 8) |
           (uint32_t(bytes[offset + 2]) << 16) | (uint32_t(bytes[offset + 3]) << 24);
}

WaveMetadata WaveMetadata::read(const fs::path& url) {
    File file(url, O_RDONLY);
    WaveMetadata meta;
    std::array<uint8_t, 12> header{};
    if (file.read(header.data(), header.size()) < header.size()) return meta;
    const std::string form(reinterpret_cast<const char*>(header.data()), 4);
    if ((form != "RIFF" && form != "RF64" && form != "BW64") ||
        std::memcmp(header.data() + 8, "WAVE", 4) != 0) {
        return meta;
    }
    const uint64_t fileSize = file.size();
    uint64_t position = 12;
    std::map<std::string, uint64_t> ds64Table;
    std::optional<uint64_t> ds64DataSize;

    for (;;) {
        std::vector<uint8_t> chunkHeader(8);
        if (file.read(chunkHeader.data(), 8) < 8) break;
        position += 8;
        const std::string id = fourCC(chunkHeader.data());
        const uint32_t declared = uint32(chunkHeader, 4);
        uint64_t size = declared;
        if (declared == kUnknownSize) {
            if (id == "data") {
                if (!ds64DataSize) break;
                size = *ds64DataSize;
            } else {
                auto entry = ds64Table.find(id);
                if (entry == ds64Table.end()) break;
                size = entry->second;
            }
        }

        if (id == "ds64" && size >= kSmallestDs64 && size <= kLargestDs64) {
            // Only what the file still holds can arrive; a truncated table is read as far as
            // it goes.
            const uint64_t available = fileSize > position ? fileSize - position : 0;
            std::vector<uint8_t> body(size_t(std::min(size, available)), 0);
            const size_t got = file.read(body.data(), body.size());
            position += got;
            body.resize(got);
            ds64DataSize = uint64(body, 8);
            const uint64_t tableLength = uint32(body, 24);
            const uint64_t fits = got >= 28 ? (got - 28) / 12 : 0;
            for (uint64_t k = 0; k < std::min(tableLength, fits); ++k) {
                const size_t e = size_t(28 + 12 * k);
                ds64Table[fourCC(body.data() + e)] = uint64(body, e + 4);
            }
            if (got < size) break;  // truncated: nothing follows
            if (size % 2 == 1) position = file.seek(1, SEEK_CUR);
            continue;
        }
        if ((id == "bext" || id == "iXML" || id == "axml") && size <= kLargestPreservedChunk) {
            if (fileSize < position || fileSize - position < size) break;  // truncated
            std::vector<uint8_t> body(size_t(size), 0);
            if (file.read(body.data(), body.size()) < body.size()) break;
            position += size;
            meta.chunks.push_back(WaveChunk{id, body});
            if (id == "bext") readBext(body, meta);
            if (id == "iXML") readIxml(body, meta);
            if (size % 2 == 1) position = file.seek(1, SEEK_CUR);
            continue;
        }
        // Skip the body (and its pad byte). Nothing can follow a skip past the end of file.
        const uint64_t skip = size + (size % 2);
        if (skip > fileSize || position > fileSize - skip) break;
        position = file.seek(position + skip, SEEK_SET);
    }
    return meta;
}

void WaveMetadata::append(const fs::path& url) const {
    if (chunks.empty()) return;
    // Validate everything first: a chunk that cannot be written as a valid RIFF chunk must not
    // leave a half-appended file behind.
    for (const WaveChunk& chunk : chunks) {
        if (chunk.name.size() != 4) {
            throw std::invalid_argument("WAV chunk identifier \"" + chunk.name +
                                        "\" is not four bytes");
        }
        if (chunk.data.size() > std::numeric_limits<uint32_t>::max() - 1) {
            throw AudioFailure(
                "The rendered WAV exceeds the 4 GB RIFF limit. Split the recording before "
                "export.");
        }
    }
    File file(url, O_RDWR);
    std::array<uint8_t, 12> header{};
    if (file.read(header.data(), header.size()) < header.size() ||
        std::memcmp(header.data(), "RIFF", 4) != 0) {
        throw AudioFailure("Metadata export currently requires a standard WAV smaller than 4 GB.");
    }
    uint64_t length = file.seek(0, SEEK_END);
    for (const WaveChunk& chunk : chunks) {
        const auto size = uint32_t(chunk.data.size());
        const uint8_t chunkHeader[8] = {uint8_t(chunk.name[0]), uint8_t(chunk.name[1]),
                                        uint8_t(chunk.name[2]), uint8_t(chunk.name[3]),
                                        uint8_t(size),          uint8_t(size >> 8),
                                        uint8_t(size >> 16),    uint8_t(size >> 24)};
        file.writeAll(chunkHeader, sizeof chunkHeader);
        file.writeAll(chunk.data.data(), chunk.data.size());
        length += 8 + uint64_t(size);
        if (size % 2 == 1) {
            const uint8_t pad = 0;
            file.writeAll(&pad, 1);
            ++length;
        }
    }
    if (length - 8 > std::numeric_limits<uint32_t>::max()) {
        throw AudioFailure(
            "The rendered WAV exceeds the 4 GB RIFF limit. Split the recording before export.");
    }
    const auto riffSize = uint32_t(length - 8);
    const uint8_t sizeBytes[4] = {uint8_t(riffSize), uint8_t(riffSize >> 8),
                                  uint8_t(riffSize >> 16), uint8_t(riffSize >> 24)};
    file.seek(4, SEEK_SET);
    file.writeAll(sizeBytes, sizeof sizeBytes);
}

}  // namespace corvaline
