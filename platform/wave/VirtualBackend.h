// The built-in devices, always present: a loopback virtual cable (what is played into its
// output device appears at its input device, sample for sample), a test-signal input (see
// TestSignal.h) and a null output. A thread of the backend paces them like a sound card by the
// virtual clock (VirtualClock.h): every few milliseconds it plays and records what is due.
//
// Every device takes the supported PCM formats. The cable converts nothing: while one end is
// open, the other end opens only with the same format (else WAVERR_FORMATMISMATCH), and each end
// can be open once (else MMSYSERR_ALLOCATED). Frames are numbered on one timeline for both ends,
// and in every step the output end writes before the input end reads, so the cable itself adds
// no delay: the input records at frame n what the output played at frame n, or silence where
// the output played nothing (not open, paused or without buffers).
#pragma once

#include "WaveBackend.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace vantrel {

class WaveInputStream;
class WaveNotifier;
class WaveOutputStream;

// A stream of the virtual backend, moved forward by the backend's thread.
class VirtualStream {
public:
    VirtualStream(std::uint32_t rate, std::int64_t startMicroseconds);
    virtual ~VirtualStream() = default;

    // First frame not yet processed; frames are numbered from the start of the virtual clock.
    std::int64_t nextFrame() const { return nextFrame_; }
    // Plays or records the frames due up to `microseconds` of virtual time.
    void advanceTo(std::int64_t microseconds);

protected:
    virtual void process(std::int64_t firstFrame, std::size_t frames) = 0;

private:
    std::uint32_t rate_;
    std::int64_t nextFrame_;
};

// The shared line between the two ends of the virtual cable: a ring of one second of frames
// indexed by frame number. Guarded by the backend's lock.
class VirtualCableLine {
public:
    // WAVERR_FORMATMISMATCH when an open end uses another format.
    MMResult check(const TWaveFormatEx& format) const;
    bool endOpen(WaveDirection direction) const;
    void attach(WaveDirection direction, const TWaveFormatEx& format, std::int64_t firstFrame);
    void detach(WaveDirection direction);

    // The output end's frames: `frames` from `firstFrame` on, played straight into the ring.
    void play(WaveOutputStream& output, std::int64_t firstFrame, std::size_t frames);
    // The input end's frames: what the output played at the same frames, else silence.
    void record(WaveInputStream& input, std::int64_t firstFrame, std::size_t frames);

private:
    // Calls `visit(ringOffsetBytes, frameCount)` for the contiguous parts of a frame span.
    template <typename Visit>
    void forEachPart(std::int64_t firstFrame, std::size_t frames, Visit&& visit);

    TWaveFormatEx format_{};
    bool inputOpen_ = false;
    bool outputOpen_ = false;
    std::int64_t outputFirstFrame_ = 0; // the output end has written every frame from here on
    std::vector<char> ring_;
    std::size_t ringFrames_ = 0;
};

class VirtualBackend : public WaveBackend {
public:
    // Device indexes.
    static constexpr int CableDevice = 0; // both directions
    static constexpr int TestSignalDevice = 1;
    static constexpr int NullOutputDevice = 1;

    explicit VirtualBackend(WaveNotifier& notifier);
    ~VirtualBackend() override;

    void refresh() override {}
    bool available() const override { return true; }
    std::vector<WaveDeviceInfo> devices(WaveDirection direction) const override;
    WaveDeviceInfo defaultDevice(WaveDirection direction) const override;
    std::uint32_t driverVersion() const override;
    MMResult query(WaveDirection direction, int device, const TWaveFormatEx& format) override;
    MMResult open(WaveDirection direction, int device, const TWaveFormatEx& format,
                  std::shared_ptr<WaveStream>& stream) override;

    // Called by a closing stream: the backend's thread no longer moves it.
    void detach(VirtualStream& stream, WaveDirection direction, bool cableEnd);
    VirtualCableLine& cable() { return cable_; }

private:
    static int resolve(WaveDirection direction, int device);
    MMResult checkLocked(WaveDirection direction, int device, const TWaveFormatEx& format) const;
    std::shared_ptr<WaveStream> create(WaveDirection direction, int device,
                                       const TWaveFormatEx& format, std::int64_t now);
    void run();
    void advanceAll(std::int64_t now);

    WaveNotifier& notifier_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<VirtualStream*> outputs_;
    std::vector<VirtualStream*> inputs_;
    VirtualCableLine cable_;
    std::int64_t advancedTo_ = 0; // virtual microseconds
    bool quit_ = false;
    std::thread thread_;
};

} // namespace vantrel
