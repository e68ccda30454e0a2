// The audio path allocates nothing: process() and update() reuse what the constructor made.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "audiocore/dsp/StreamingDSP.hpp"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace corvaline;

TEST(StreamingDSPAllocation, ProcessAndUpdateAllocateNothing) {
    ProcessingSettings settings;
    settings.levelerEnabled = settings.bleedEnabled = true;
    const std::vector<ChannelSettings> channels(8);
    StreamingDSP dsp(48000, channels, settings);
    AudioBuffer block(8, 1024), side(8, 1024);
    block.setFrameLength(1024);
    side.setFrameLength(1024);
    ProcessingSettings edited = settings;
    edited.eqBands[2].gain = 6;
    edited.bleedMode = LavBleedMode::interview;
    edited.modelID = "sidon-reference";
    ProcessingSettings moreBands = edited;
    moreBands.eqBands.push_back(EQBand(8, EQKind::notch, 60, 0, 8));
    std::vector<ChannelSettings> fewer = channels;
    fewer[3].process = false;

    const long before = allocations.load();
    for (int i = 0; i < 20; ++i) {
        for (int c = 0; c < 8; ++c)
            block.channel(c)[i] = side.channel(c)[i] = 0.1f * float(i);
        dsp.process(block, i % 2 ? &side : nullptr);
        if (i == 5) dsp.update(edited, channels);
        if (i == 10) dsp.update(moreBands, fewer);
    }
    EXPECT_EQ(allocations.load() - before, 0);
}
