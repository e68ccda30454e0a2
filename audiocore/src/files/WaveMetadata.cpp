// Chunk-level reading and appending of WAV (RIFF, RF64, BW64) recorder metadata.

#include "audiocore/model/WaveMetadata.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>

#include "TextUtil.hpp"
#include "WaveLayout.hpp"
#include "audiocore/model/AudioFailure.hpp"
#include "audiocore/platform/Errors.hpp"
#include "audiocore/platform/FileDescriptor.hpp"
#include "audiocore/platform/Process.hpp"

namespace fs = std::filesystem;

namespace corvaline {
namespace {

constexpr uint32_t kUnknownSize = 0xFFFFFFFFu;
constexpr uint32_t kLargestPreservedChunk = 16777216;  // 16 MiB
constexpr uint32_t kSmallestDs64 = 28;
constexpr uint32_t kLargestDs64 = 1048576;
constexpr int kHighestIxmlChannel = 256;

/// A WAV file opened for chunk access; errors name the file in a user's words.
class File {
  public:
    File(const fs::path& url, int flags) : url_(url), fd_(FileDescriptor::open(url, flags)) {}

    /// Reads up to `size` bytes at the current position; fewer only at the end of the file.
    size_t read(void* into, size_t size) {
        const ssize_t got = fd_.readFully(into, size);
        if (got < 0) throw fileError("read", url_, errno);
        return size_t(got);
    }

    void writeAll(const void* from, size_t size) {
        if (fd_.writeFully(from, size) != 0) throw fileError("write", url_, errno);
    }

    uint64_t seek(uint64_t offset, int whence) {
        const off_t at = ::lseek(fd_.get(), off_t(offset), whence);
        if (at < 0) throw fileError("read", url_, errno);
        return uint64_t(at);
    }

    uint64_t size() {
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0) throw fileError("read", url_, errno);
        return uint64_t(st.st_size);
    }

  private:
    fs::path url_;
    FileDescriptor fd_;
};

uint64_t uint64(const std::vector<uint8_t>& bytes, size_t lowOffset) {
    return uint64_t(WaveMetadata::uint32(bytes, lowOffset)) |
           (uint64_t(WaveMetadata::uint32(bytes, lowOffset + 4)) << 32);
}

std::string fourCC(const uint8_t* bytes) {
    return repairUtf8(std::string_view(reinterpret_cast<const char*>(bytes), 4));
}

// Text content of a node: every text and CDATA section it contains, in document order.
// Recorder metadata is untrusted: the walk is iterative, so any nesting depth is safe.
std::string textContent(const pugi::xml_node& root) {
    std::string text;
    pugi::xml_node node = root;
    while (node) {
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
            text += node.value();
        }
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        // Up to the next sibling, never above the starting node.
        while (node != root && !node.next_sibling())
            node = node.parent();
        if (node == root) break;
        node = node.next_sibling();
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
    return detail::readWave(url, nullptr);
}

namespace detail {

std::optional<uint64_t> WaveLayout::declaredFrames() const {
    // PCM, IEEE float, A-law, mu-law, and the extensible header (whose sub-format the walk
    // does not read: a frame size that matches the sample size is what counts).
    constexpr uint16_t kFixedFrameFormats[] = {0x0001, 0x0003, 0x0006, 0x0007, 0xFFFE};
    if (!dataBytes || channels == 0 || bitsPerSample == 0) return std::nullopt;
    if (std::find(std::begin(kFixedFrameFormats), std::end(kFixedFrameFormats), formatTag) ==
        std::end(kFixedFrameFormats)) {
        return std::nullopt;
    }
    if (blockAlign == 0 || blockAlign != uint32_t(channels) * ((bitsPerSample + 7u) / 8u))
        return std::nullopt;
    return *dataBytes / blockAlign;
}

std::optional<uint64_t> readAiffDeclaredFrames(const fs::path& url) {
    File file(url, O_RDONLY);
    std::array<uint8_t, 12> header{};
    if (file.read(header.data(), header.size()) < header.size()) return std::nullopt;
    const bool aiff = std::memcmp(header.data() + 8, "AIFF", 4) == 0;
    if (std::memcmp(header.data(), "FORM", 4) != 0 ||
        (!aiff && std::memcmp(header.data() + 8, "AIFC", 4) != 0)) {
        return std::nullopt;
    }
    const auto bigEndian32 = [](const uint8_t* at) {
        return uint32_t(at[0]) << 24 | uint32_t(at[1]) << 16 | uint32_t(at[2]) << 8 |
               uint32_t(at[3]);
    };
    const uint64_t fileSize = file.size();
    uint64_t position = 12;
    for (;;) {
        std::array<uint8_t, 8> chunk{};
        if (file.read(chunk.data(), chunk.size()) < chunk.size()) return std::nullopt;
        position += 8;
        const uint64_t size = bigEndian32(chunk.data() + 4);
        if (std::memcmp(chunk.data(), "COMM", 4) == 0) {
            // channels (2), frames (4), sample size (2), rate (10); AIFF-C: compression type.
            std::array<uint8_t, 22> body{};
            const size_t wanted = aiff ? 18 : 22;
            if (size < wanted || file.read(body.data(), wanted) < wanted) return std::nullopt;
            if (!aiff) {
                // Compressed AIFF-C counts packets, not frames.
                const std::string type(reinterpret_cast<const char*>(body.data()) + 18, 4);
                if (type != "NONE" && type != "sowt" && type != "fl32" && type != "FL32" &&
                    type != "fl64" && type != "FL64") {
                    return std::nullopt;
                }
            }
            return bigEndian32(body.data() + 2);
        }
        // Chunks are padded to an even size; a size beyond the file ends the walk.
        const uint64_t skip = size + (size % 2);
        if (position > fileSize || skip > fileSize - position) return std::nullopt;
        position = file.seek(position + skip, SEEK_SET);
    }
}

WaveMetadata readWave(const fs::path& url, WaveLayout* layout) {
    using corvaline::WaveMetadata;
    const auto uint32 = [](const std::vector<uint8_t>& bytes, size_t offset) {
        return WaveMetadata::uint32(bytes, offset);
    };
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

        if (layout && id == "data" && !layout->dataBytes) {
            layout->dataBytes = size;
            layout->dataAvailable = fileSize > position ? std::min(size, fileSize - position) : 0;
        }
        if (layout && id == "fmt " && size >= 16 && !layout->formatTag) {
            std::vector<uint8_t> format(16);
            if (file.read(format.data(), format.size()) < format.size()) break;
            const auto u16 = [&format](size_t at) {
                return uint16_t(format[at] | (format[at + 1] << 8));
            };
            layout->formatTag = u16(0);
            layout->channels = u16(2);
            layout->blockAlign = u16(12);
            layout->bitsPerSample = u16(14);
            position = file.seek(position, SEEK_SET);
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
        // Skip the body (and its pad byte). A size beyond what the file holds ends the walk:
        // nothing can follow it, and size + pad must not wrap (an RF64 size of 2^64 - 1).
        if (position > fileSize || size > fileSize - position) break;
        const uint64_t skip = size + (size % 2);
        if (skip > fileSize - position) break;  // the pad byte is missing: the file ends here
        position = file.seek(position + skip, SEEK_SET);
    }
    return meta;
}

}  // namespace detail

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
