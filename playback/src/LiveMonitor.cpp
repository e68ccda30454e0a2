// Real-time playback of a monitor stream with meters that follow the audio.

#include "playback/LiveMonitor.hpp"

#include <time.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "audiocore/platform/FailureText.hpp"
#include "playback/AudioEngine.hpp"
#include "playback/SerialQueue.hpp"

namespace corvaline {

using playback::AudioEngine;
using playback::CompletionType;
using playback::PlayerNode;
using playback::SerialQueue;

namespace {

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// A failure while streaming, as the owner shows it (a library's text never alone).
std::string describe(std::exception_ptr failure) {
    return describeFailure(failure);
}

}  // namespace

struct LiveMonitor::Core : std::enable_shared_from_this<LiveMonitor::Core> {
    std::unique_ptr<AudioEngine> engine;
    PlayerNode* player = nullptr;
    SerialQueue queue{kQueueLabel};
    mutable std::mutex lock;  // guards snapshot and the figures below it
    Snapshot snapshot;
    double streamCpu = 0;
    int64_t blocks = 0;
    // Queue only:
    std::unique_ptr<MonitorStream> stream;
    bool stopped = false;
    int queued = 0;
    bool eof = false;
    // Blocks are filled in place and reused: the player holds a scheduled one until its
    // completion returns it here.
    std::vector<std::shared_ptr<MonitorBlock>> pool;
    std::vector<size_t> spare;
    // Constant after construction:
    double duration = 0;
    std::chrono::steady_clock::time_point created;

    // Pulls one block and schedules it; stream failures propagate. Queue only.
    void scheduleNext() {
        if (stopped || eof) return;
        if (spare.empty()) {
            pool.push_back(std::make_shared<MonitorBlock>());
            spare.push_back(pool.size() - 1);
        }
        const size_t index = spare.back();
        MonitorBlock& block = *pool[index];
        const double before = threadCpuSeconds();
        const bool pulled = stream->next(block, kBlockFrames);
        const double spent = threadCpuSeconds() - before;
        {
            std::lock_guard guard(lock);
            streamCpu += spent;
            if (pulled) ++blocks;
        }
        if (!pulled) {
            eof = true;
            return;
        }
        spare.pop_back();
        // The last block completes when it has been played back, so that "finished" means
        // the whole programme reached the output; the others as soon as they are consumed.
        const bool last = stream->exhausted();
        std::shared_ptr<const AudioBuffer> audio(pool[index], &block.audio);
        std::weak_ptr<Core> weak = weak_from_this();
        player->schedule(std::move(audio),
                         last ? CompletionType::dataPlayedBack : CompletionType::dataConsumed,
                         [weak, index] {
                             if (auto core = weak.lock()) {
                                 core->queue.async([weak, index] {
                                     if (auto c = weak.lock()) c->completed(index);
                                 });
                             }
                         });
        ++queued;
        if (last) eof = true;
    }

    // A scheduled block has been consumed. Queue only.
    void completed(size_t index) {
        if (stopped) return;
        --queued;
        const MonitorBlock& block = *pool[index];
        {
            std::lock_guard guard(lock);
            snapshot.output = block.output;
            snapshot.channels = block.channels;
            snapshot.compressorReduction = block.compressorReduction;
            snapshot.limiterReduction = block.limiterReduction;
            snapshot.bleedReduction = block.bleedReduction;
            snapshot.levelerGain = block.levelerGain;
            snapshot.normalizationSuspended = block.normalizationSuspended;
        }
        spare.push_back(index);
        try {
            scheduleNext();
        } catch (...) {
            // No further blocks; what is queued still plays, then the monitor finishes.
            eof = true;
            const std::string message = describe(std::current_exception());
            std::lock_guard guard(lock);
            snapshot.error = message;
        }
        finishIfDone();
    }

    void finishIfDone() {
        if (eof && queued == 0) {
            std::lock_guard guard(lock);
            snapshot.finished = true;
        }
    }

    void stop() {
        queue.sync([this] { stopped = true; });
        if (player) player->stop();
        if (engine) engine->stop();
    }

    // Stops everything and joins the worker threads while this object is certainly alive, so
    // that no pending callback can end up releasing it from one of those threads.
    void teardown() {
        stop();
        queue.shutdown();
        engine.reset();
        player = nullptr;
    }
};

LiveMonitor::LiveMonitor(std::unique_ptr<MonitorStream> stream, OutputObserver outputObserver)
    : core_(std::make_shared<Core>()) {
    Core& core = *core_;
    core.created = std::chrono::steady_clock::now();
    if (!stream) throw std::invalid_argument("LiveMonitor: no stream");
    const double rate = stream->format().sampleRate;
    core.duration = rate > 0 ? double(stream->length()) / rate : 0.0;
    core.stream = std::move(stream);
    try {
        core.engine = std::make_unique<AudioEngine>();
        core.player = &core.engine->connectPlayer(rate, core.stream->format().channelCount);
        if (outputObserver) core.engine->installTap(uint32_t(kBlockFrames), outputObserver);
        // The queue feeds a real-time consumer: ahead of ordinary work where permitted.
        core.queue.raisePriority();
        core.queue.sync([&core] {
            core.pool.reserve(kQueuedBlocks + 2);
            core.spare.reserve(kQueuedBlocks + 2);
            for (int i = 0; i < kQueuedBlocks && !core.stopped; ++i)
                core.scheduleNext();
            // A stream without a single block has nothing to wait for.
            core.finishIfDone();
        });
        // The player is told to play before the device starts, so the very first callback
        // already carries the first block instead of a period of silence.
        core.player->play();
        core.engine->start();
    } catch (...) {
        core_->teardown();
        throw;
    }
}

LiveMonitor::~LiveMonitor() {
    core_->teardown();
}

void LiveMonitor::stop() {
    core_->stop();
}

void LiveMonitor::update(const ProcessingSettings& settings,
                         const std::vector<ChannelSettings>& channels, double gain) {
    std::weak_ptr<Core> weak = core_;
    core_->queue.async([weak, settings, channels, gain] {
        auto core = weak.lock();
        if (!core) return;
        try {
            core->stream->update(settings, channels, gain);
        } catch (...) {
            const std::string message = describe(std::current_exception());
            std::lock_guard guard(core->lock);
            core->snapshot.error = message;
        }
    });
}

double LiveMonitor::currentTime() const {
    if (!core_->player) return 0;
    const auto time = core_->player->playerTime();
    if (!time || !(time->sampleRate > 0)) return 0;
    return std::clamp(double(time->sampleTime) / time->sampleRate, 0.0, core_->duration);
}

LiveMonitor::Snapshot LiveMonitor::snapshot() const {
    std::lock_guard guard(core_->lock);
    return core_->snapshot;
}

double LiveMonitor::duration() const {
    return core_->duration;
}

LiveMonitor::Statistics LiveMonitor::statistics() const {
    Statistics result;
    {
        std::lock_guard guard(core_->lock);
        result.streamCpuSeconds = core_->streamCpu;
        result.blocks = core_->blocks;
    }
    if (core_->engine) {
        if (auto first = core_->engine->firstCallback()) {
            result.startupSeconds = std::chrono::duration<double>(*first - core_->created).count();
        }
    }
    if (core_->player) result.underrunFrames = core_->player->underrunFrames();
    return result;
}

}  // namespace corvaline
