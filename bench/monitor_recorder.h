#pragma once

// Records a sink's monitor as 16-bit stereo and stamps every chunk with the
// monotonic clock, through the PulseAudio API or natively through PipeWire.

#include "press_analysis.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Bench {

class MonitorRecorder {
public:
    virtual ~MonitorRecorder() = default;
    virtual bool start(std::string *error) = 0;
    virtual void stop() = 0;
    // What the server granted, for the report.
    virtual std::string describe() = 0;

    // Capture time of the newest sample above the threshold; 0 before any.
    std::int64_t lastLoudNs() const { return lastLoud_.load(); }
    std::int64_t lastChunkNs() const { return lastChunk_.load(); }
    // Everything recorded; call after stop().
    Capture capture();

protected:
    explicit MonitorRecorder(int rate);
    // For a recorder that gets data only while something plays: from when on
    // a lack of chunks means silence.
    void setStart(std::int64_t ns) { startNs_ = ns; }
    // Runs on the recorder's thread, possibly a real-time one: no large copies,
    // so storage grows a second at a time. Null data is a hole: silence.
    void append(const std::int16_t *data, std::size_t frames, std::int64_t firstFrameNs,
                std::int64_t arrivedNs, int quantum);
    int rate_;

private:
    static constexpr int Channels = 2;
    std::mutex mutex_;
    std::vector<std::vector<std::int16_t>> blocks_;
    std::vector<Capture::Chunk> chunks_;
    std::size_t frames_ = 0;
    std::atomic<std::int64_t> lastLoud_{0};
    std::atomic<std::int64_t> lastChunk_{0};
    std::int64_t startNs_ = 0;
};

// `source` is a PulseAudio source such as "zembra.monitor". The client calls
// itself "zembra-bench-recorder", the name scripts/pipewire.sh lets ask for
// small fragments. Small fragments hold the sink at their length; with larger
// ones the players set the sink's pace, and `ahead` dates what arrives as a
// sink renders it, ahead of playing it: its first frame at the arrival and
// each later one a frame period after.
std::unique_ptr<MonitorRecorder> makePulseRecorder(const std::string &source, int rate,
                                                   int fragmentFrames, bool ahead = false);

// `sink` is the sink node's name. Asks for no latency of its own, so the graph
// runs at the quantum the players ask for; stamps each chunk with the graph
// cycle's own clock. A passive recorder does not keep the graph running: with
// nothing playing the sink goes idle, as on a quiet desktop, and it records
// nothing; an active one keeps it running at the default quantum, as another
// program with an open stream would.
std::unique_ptr<MonitorRecorder> makePipeWireRecorder(const std::string &sink, int rate,
                                                      bool passive);

} // namespace Bench
