// The equalizer component: a list of bands, each a gain in dB over a frequency range, applied to
// the 16-bit PCM stream going through it by the FFT overlap-add filter.
//
// Threads: bands, the band list and every property change on the main thread; buffers on the
// thread that carries them. The filter's own lock keeps each filtered block consistent with one
// response; the equalizer's lock keeps the filter alive and in one piece while a buffer uses it.
#pragma once

#include "MMDSPObj.h"
#include "MMFFTFilter.h"
#include "MMObj.h"
#include "MMObjLst.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

namespace vantrel {

class EMMEqualizerError : public EMMError {
public:
    using EMMError::EMMError;
};

class TMMEqualizer;
class TMMEQFilter;

using TMMEQFilterHook = std::function<void(TMMEQFilter* band)>;
using TMMEqualizerEvent = std::function<void(TMMEqualizer* sender)>;

// One band: every FFT bin from F1 to F2 (Hz) gets Gain (dB) while the band is enabled.
class TMMEQFilter : public TMMObject {
public:
    static constexpr const char* ClassNameText = "TMMEQFilter";

    TMMEQFilter() = default;
    TMMEQFilter(float F1, float F2, float Gain);

    std::string ClassName() const override { return ClassNameText; }

    float GetF1() const { return f1_; }
    float GetF2() const { return f2_; }
    float GetGain() const { return gain_; }
    bool GetEnabled() const { return enabled_; }

    // Stores the three values and reports the change, unless all three are as they were.
    void SetValues(float F1, float F2, float Gain);
    void SetEnabled(bool value);
    // Index 0 replaces F1, 1 F2, 2 Gain; any other index changes nothing.
    void SetValue(int index, float value);
    // Takes over the values and the Enabled state of `source`.
    void Assign(const TMMEQFilter& source);

    // The band's data in the stream: Enabled (1 byte), F1, F2, Gain (4-byte singles).
    virtual void SaveToStream(std::ostream& stream) const;
    virtual void LoadFromStream(std::istream& stream);

    using TMMObject::Changed;
    // Calls the change hook, when one is set.
    virtual void Changed();
    // Set by the list the band is added to; called after every change of the band.
    void SetChangeHook(TMMEQFilterHook hook) { hook_ = std::move(hook); }

private:
    float f1_ = 0;
    float f2_ = 0;
    float gain_ = 0;
    bool enabled_ = true;
    TMMEQFilterHook hook_;
};

// Enters TMMEQFilter in the item class table (done by every equalizer and band list; repeating
// it changes nothing).
void RegisterEQFilterClass();

// The band list of an equalizer, stored as the form property Filters.ObjectContainer in a format
// of its own: "EQU\0", the owns flag, the equalizer's Description and FFTLength, then the band
// records. It owns its bands.
class TMMEQFilterList : public TObjectList {
public:
    // `equalizer` owns the list.
    explicit TMMEQFilterList(TMMEqualizer& equalizer);

    std::string ClassName() const override { return "TMMEQFilterList"; }

    // Adds the band (taking ownership) and hooks it to the equalizer.
    int Add(TMMPersistent* item) override;
    // The band at `index` (0 ... Count-1).
    TMMEQFilter* Band(int index) const;
    // Replaces the bands with copies of those of `source` in one update, so that the equalizer
    // applies the new curve once. A list replaces itself by nothing.
    void Assign(const TMMEQFilterList& source);

    // Throw EStreamError "Invalid Object stream" (the bands stay), EClassNotFound (the bands
    // read so far stay) or EReadError; EClassNotFound when writing a band of an unknown class.
    void ReadData(std::istream& stream) override;
    void WriteData(std::ostream& stream) const override;
    // The form always stores the property, even without bands.
    bool HasData() const override { return true; }

private:
    TMMEqualizer& equalizer_;
};

class TMMEqualizer : public TMMDSPComponent {
public:
    TMMEqualizer();
    ~TMMEqualizer() override;

    // While false, buffers pass unchanged. Changing it drops the audio buffered in the filter.
    bool GetEnabled() const { return enabled_.load(std::memory_order_acquire); }
    void SetEnabled(bool value);
    // Frames per second the bands are laid out for: clamped to 4000 ... 100000; a format that
    // reaches the equalizer sets it.
    std::int32_t GetSampleRate() const { return sampleRate_; }
    void SetSampleRate(std::int32_t value);
    // Samples per FFT: clamped to 8 ... 4096 and rounded down to a power of two. The filter
    // uses at most 1024. Throws std::bad_alloc when a running filter cannot be replaced.
    std::int32_t GetFFTLength() const { return fftLength_; }
    void SetFFTLength(std::int32_t value);
    TMMFFTWindow GetWindow() const { return window_; }
    void SetWindow(TMMFFTWindow value);
    TMMChannel GetChannel() const { return channel_.load(std::memory_order_acquire); }
    void SetChannel(TMMChannel value) { channel_.store(value, std::memory_order_release); }
    const std::string& GetDescription() const { return description_; }
    void SetDescription(const std::string& value) { description_ = value; }
    // The band list, owned by the equalizer.
    TMMEQFilterList& Filters() { return filters_; }
    const TMMEQFilterList& Filters() const { return filters_; }
    // Takes over the bands of `list` (a copy of each); the list itself stays its owner's.
    void SetFilters(const TMMEQFilterList& list);

    // Drops the audio buffered in a running filter: the next buffer starts a new stream.
    void ResetFilter();
    // Rebuilds a running filter's response: flat, then every enabled band in list order.
    virtual void ApplyFilters();
    // Sets a running filter flat (0 dB from 0 Hz to half the sample rate).
    virtual void ResetResponse();
    // Fires OnChange.
    virtual void Changed();
    // Takes over Channel, Enabled, Description, FFTLength, Window, the bands and SampleRate.
    void Assign(const TMMEqualizer& source);

    // Accepts none or valid 16-bit PCM with 1 or 2 channels; raises EMMEqualizerError
    // "Invalid WaveFormat" otherwise.
    void SetWaveFormat(const TWaveFormatEx* format) override;
    void NotifyOpened() override;
    void NotifyClosed() override;
    void NotifyStarted() override;
    void NotifyReset() override;
    // Push: filters the buffer in place, then hands it on.
    void BufferReady(PWaveHdr lpWaveHdr) override;
    // Pull: fills the buffer from upstream, then filters it in place.
    void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

    // Fired on the main thread after a band or the band list changed.
    TMMEqualizerEvent OnChange;
    // Fired on the main thread (the processing thread waits for it) when a buffer had samples
    // clipped to the 16-bit range; at most once per buffer.
    TMMEqualizerEvent OnPcmOverflow;

private:
    friend class TMMEQFilterList;

    void openFilter();
    void closeFilter();
    // Creates the running filter for the present format and FFT length, with the window set.
    FFTFilterPtr createFilter() const;
    void bandChanged(TMMEQFilter& band);
    void filtersChanged();
    void process(PWaveHdr buffer);
    // Fires OnPcmOverflow.
    void PcmOverflow();

    std::atomic<bool> enabled_ = true;
    bool active_ = false;
    FFTFilterPtr filter_; // replaced only on the main thread, under lock_
    std::string description_ = "Untitled";
    std::int32_t fftLength_ = 0;
    TMMEQFilterList filters_;
    TMMFFTWindow window_ = fwHamming;
    std::int32_t sampleRate_ = 4000;
    std::atomic<TMMChannel> channel_ = chBoth;
    bool updating_ = false; // the band list is being replaced: its notifications wait
    std::int32_t maxBytes_ = 0;
    // Held while a buffer is filtered and while the filter is replaced or reset.
    TMMCriticalSection lock_;
};

} // namespace vantrel
