#pragma once
// Platform audio files: a reader that decodes any supported file to 32-bit float
// non-interleaved audio, and a writer that takes such buffers and converts on write.
// Owned by the caller through std::unique_ptr; releasing a writer finalises its header.

#include <cstdint>
#include <filesystem>

#include "audiocore/model/AudioBuffer.hpp"

namespace corvaline {

class AudioFileReader {
  public:
    virtual ~AudioFileReader() = default;
    /// Processing sample rate in Hz.
    virtual double sampleRate() const = 0;
    /// Processing channel count.
    virtual int channelCount() const = 0;
    /// Length in frames.
    virtual int64_t length() const = 0;
    /// Bits per channel of the stored format (16, 24, 32 for PCM WAV; 0 when not applicable).
    virtual int fileBitDepth() const = 0;
    /// Current read position in frames.
    virtual int64_t position() const = 0;
    /// Moves the read position (sample-exact). Errors of the decoder propagate.
    virtual void seek(int64_t frame) = 0;
    /// Reads up to `frames` frames (at most the buffer's capacity) into `buffer`, whose channel
    /// count must equal channelCount(); sets its frame length to the number delivered (0 at
    /// the end) and returns it. Errors of the decoder propagate.
    virtual uint32_t read(AudioBuffer& buffer, uint32_t frames) = 0;
};

class AudioFileWriter {
  public:
    virtual ~AudioFileWriter() = default;
    virtual double sampleRate() const = 0;
    virtual int channelCount() const = 0;
    /// Frames written so far.
    virtual int64_t framesWritten() const = 0;
    /// Writes the buffer's frameLength() frames. Errors of the platform propagate.
    virtual void write(const AudioBuffer& buffer) = 0;
    /// Writes `frames` frames of the buffer starting at frame `offset`.
    virtual void write(const AudioBuffer& buffer, uint32_t offset, uint32_t frames) = 0;
    /// Finalises the header and closes the file; later writes fail. Called by the destructor
    /// when not called explicitly (errors are then swallowed, so call it to see them).
    virtual void close() = 0;
};

}  // namespace corvaline
