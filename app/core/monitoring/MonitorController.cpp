#include "core/monitoring/MonitorController.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "audiocore/files/AudioIO.hpp"
#include "audiocore/model/AudioBuffer.hpp"
#include "audiocore/monitor/MonitorStream.hpp"
#include "core/bridge/Worker.hpp"
#include "playback/SerialQueue.hpp"

namespace corvaline::app {

namespace {
constexpr uint32_t kMeterFrames = 1024;
}

// Touched only on the queue, except `latest`, which the GUI thread bumps with each request.
struct MonitorController::MeterState {
    std::unique_ptr<AudioFileReader> file;
    AudioBuffer buffer;
    std::atomic<uint64_t> latest{0};
};

MonitorController::MonitorController(QObject* context)
    : context_(context),
      meters_(std::make_shared<MeterState>()),
      queue_(std::make_unique<playback::SerialQueue>("Corvaline.meters")) {}

MonitorController::~MonitorController() {
    retire();
    queue_->shutdown();
}

std::unique_ptr<LiveMonitor> MonitorController::open(std::unique_ptr<MonitorStream> stream) {
    std::unique_ptr<LiveMonitor> monitor;
    queue_->sync([&] { monitor = std::make_unique<LiveMonitor>(std::move(stream)); });
    return monitor;
}

void MonitorController::adopt(std::unique_ptr<LiveMonitor> monitor) {
    retire();
    monitor_ = std::move(monitor);
}

double MonitorController::currentTime() const {
    return monitor_ ? monitor_->currentTime() : 0.0;
}

void MonitorController::retire() {
    retire(std::move(monitor_));
}

void MonitorController::retire(std::unique_ptr<LiveMonitor> monitor) {
    if (!monitor) return;
    // std::function needs a copyable callable: the monitor travels in a shared_ptr.
    std::shared_ptr<LiveMonitor> owned(std::move(monitor));
    queue_->async([owned]() mutable {
        owned->stop();
        owned.reset();
    });
}

void MonitorController::update(const ProcessingSettings& settings,
                               const std::vector<ChannelSettings>& channels, double gain) {
    if (monitor_) monitor_->update(settings, channels, gain);
}

void MonitorController::setMeterFile(const std::filesystem::path& url) {
    auto state = meters_;
    ++state->latest;
    queue_->async([state, url] {
        state->file.reset();
        try {
            auto file = AudioIO::open(url);
            state->buffer.allocate(file->channelCount(), kMeterFrames);
            state->file = std::move(file);
        } catch (...) {
            // A meter file that cannot be opened leaves the static meters without a source.
        }
    });
}

void MonitorController::clearMeterFile() {
    auto state = meters_;
    ++state->latest;
    queue_->async([state] { state->file.reset(); });
}

void MonitorController::requestMeters(
    double seconds, std::function<void(std::optional<std::vector<double>>)> done) {
    auto state = meters_;
    const uint64_t request = ++state->latest;
    QObject* context = context_;
    queue_->async([state, request, seconds, context, done = std::move(done)] {
        if (state->latest.load() != request || !state->file) return;
        std::optional<std::vector<double>> levels;
        try {
            AudioFileReader& file = *state->file;
            const int64_t length = file.length();
            const double offset = std::max(seconds, 0.0) * file.sampleRate();
            const int64_t position = std::min<int64_t>(
                std::isfinite(offset) ? int64_t(std::min(offset, 9.0e18)) : 0, length);
            const auto frames = uint32_t(std::min<int64_t>(length - position, kMeterFrames));
            std::vector<double> peaks(size_t(file.channelCount()), 0.0);
            uint32_t read = 0;
            if (frames > 0) {
                file.seek(position);
                read = file.read(state->buffer, frames);
            }
            for (int c = 0; c < file.channelCount(); ++c) {
                const float* samples = state->buffer.channel(c);
                double peak = 0;
                for (uint32_t i = 0; i < read; ++i)
                    peak = std::max(peak, double(std::fabs(samples[i])));
                peaks[size_t(c)] = read > 0 ? meterDB(peak) : kMeterFloorDB;
            }
            levels = std::move(peaks);
        } catch (...) {
            levels.reset();
        }
        Worker::post(context, [state, request, done, levels] {
            if (state->latest.load() == request) done(levels);
        });
    });
}

void MonitorController::flush() {
    queue_->sync([] {});
}

}  // namespace corvaline::app
