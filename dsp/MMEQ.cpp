#include "MMEQ.h"

#include <algorithm>
#include <array>
#include <bit>
#include <istream>
#include <memory>
#include <mutex>
#include <new>
#include <ostream>

namespace vantrel {

namespace {

constexpr std::array<char, 4> bandListMagic{'E', 'Q', 'U', '\0'};
constexpr const char* invalidObjectStream = "Invalid Object stream";

constexpr std::int32_t minFFTLength = 8;
constexpr std::int32_t maxFFTLength = 4096;
constexpr std::int32_t minSampleRate = 4000;
constexpr std::int32_t maxSampleRate = 100000;
// The filter takes buffers of at least this many bytes at once, whatever the chain's size.
constexpr std::int32_t minFilterBytes = 65536;

bool isFilterableFormat(const TWaveFormatEx* format) {
    return IsValidPCMFormat(format) && format->wBitsPerSample == 16 && format->nChannels <= 2;
}

// Reads `length` characters. A damaged length fails on the stream's end, not on a huge
// allocation, because the text grows only with what was actually read.
std::string readText(std::istream& stream, std::int32_t length) {
    std::string text;
    std::array<char, 4096> chunk{};
    while (length > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::int32_t>(length, chunk.size()));
        ReadBuffer(stream, chunk.data(), n);
        text.append(chunk.data(), n);
        length -= static_cast<std::int32_t>(n);
    }
    return text;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TMMEQFilter

TMMEQFilter::TMMEQFilter(float F1, float F2, float Gain) : f1_(F1), f2_(F2), gain_(Gain) {}

void TMMEQFilter::SetValues(float F1, float F2, float Gain) {
    if (F1 == f1_ && F2 == f2_ && Gain == gain_)
        return;
    f1_ = F1;
    f2_ = F2;
    gain_ = Gain;
    Changed();
}

void TMMEQFilter::SetEnabled(bool value) {
    if (value == enabled_)
        return;
    enabled_ = value;
    Changed();
}

void TMMEQFilter::SetValue(int index, float value) {
    float values[3] = {f1_, f2_, gain_};
    if (index >= 0 && index < 3)
        values[index] = value;
    SetValues(values[0], values[1], values[2]);
}

void TMMEQFilter::Assign(const TMMEQFilter& source) {
    SetValues(source.f1_, source.f2_, source.gain_);
    SetEnabled(source.enabled_);
}

void TMMEQFilter::SaveToStream(std::ostream& stream) const {
    WriteValue<std::uint8_t>(stream, enabled_ ? 1 : 0);
    WriteValue(stream, f1_);
    WriteValue(stream, f2_);
    WriteValue(stream, gain_);
}

void TMMEQFilter::LoadFromStream(std::istream& stream) {
    enabled_ = ReadValue<std::uint8_t>(stream) != 0;
    const auto f1 = ReadValue<float>(stream);
    const auto f2 = ReadValue<float>(stream);
    const auto gain = ReadValue<float>(stream);
    SetValues(f1, f2, gain);
}

void TMMEQFilter::Changed() {
    if (hook_)
        hook_(this);
}

void RegisterEQFilterClass() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        AddItemClass<TMMEQFilter>(TMMEQFilter::ClassNameText, &TMMEQFilter::LoadFromStream,
                                  &TMMEQFilter::SaveToStream);
    });
}

// ---------------------------------------------------------------------------------------------
// TMMEQFilterList

namespace {

// Replacing the bands is one change of the list: the equalizer ignores the notifications of
// the single bands meanwhile and applies the new curve once, when the bracket closes.
class BandReplacement {
public:
    BandReplacement(TObjectList& list, bool& updating) : list_(list), updating_(updating) {
        list_.BeginUpdate();
        updating_ = true;
    }
    ~BandReplacement() {
        updating_ = false;
        list_.EndUpdate();
    }
    BandReplacement(const BandReplacement&) = delete;
    BandReplacement& operator=(const BandReplacement&) = delete;

private:
    TObjectList& list_;
    bool& updating_;
};

} // namespace

TMMEQFilterList::TMMEQFilterList(TMMEqualizer& equalizer) : equalizer_(equalizer) {
    RegisterEQFilterClass();
}

int TMMEQFilterList::Add(TMMPersistent* item) {
    const int index = TObjectList::Add(item);
    if (auto* band = dynamic_cast<TMMEQFilter*>(item))
        band->SetChangeHook([this](TMMEQFilter* changed) { equalizer_.bandChanged(*changed); });
    return index;
}

TMMEQFilter* TMMEQFilterList::Band(int index) const {
    return dynamic_cast<TMMEQFilter*>(Get(index));
}

void TMMEQFilterList::Assign(const TMMEQFilterList& source) {
    if (&source == this)
        return;
    BandReplacement replacement(*this, equalizer_.updating_);
    FreeAll();
    for (int i = 0; i < source.Count(); ++i) {
        auto band = std::make_unique<TMMEQFilter>();
        if (const TMMEQFilter* original = source.Band(i))
            band->Assign(*original);
        Add(band.get());
        band.release(); // the list holds it now
    }
}

void TMMEQFilterList::ReadData(std::istream& stream) {
    BandReplacement replacement(*this, equalizer_.updating_);
    std::array<char, 4> magic{};
    ReadBuffer(stream, magic.data(), magic.size());
    if (magic != bandListMagic)
        throw EStreamError(invalidObjectStream);
    FreeAll();
    ReadValue<std::uint8_t>(stream); // the ownership flag: the list always owns its bands
    const auto descriptionLength = ReadValue<std::int32_t>(stream);
    if (descriptionLength < 0)
        throw EStreamError(invalidObjectStream);
    if (descriptionLength > 0)
        equalizer_.SetDescription(readText(stream, descriptionLength));
    equalizer_.SetFFTLength(ReadValue<std::int32_t>(stream));
    const auto count = ReadValue<std::int16_t>(stream);
    if (count < 0)
        throw EStreamError(invalidObjectStream);
    for (int i = 0; i < count; ++i) {
        std::unique_ptr<TMMPersistent> item = ReadItemRecord(stream);
        if (dynamic_cast<TMMEQFilter*>(item.get()) == nullptr)
            throw EStreamError(invalidObjectStream);
        Add(item.get());
        item.release(); // the list holds it now
    }
}

void TMMEQFilterList::WriteData(std::ostream& stream) const {
    WriteBuffer(stream, bandListMagic.data(), bandListMagic.size());
    WriteValue<std::uint8_t>(stream, GetOwnsObjects() ? 1 : 0);
    const std::string& description = equalizer_.GetDescription();
    WriteValue(stream, static_cast<std::int32_t>(description.size()));
    WriteBuffer(stream, description.data(), description.size());
    WriteValue(stream, equalizer_.GetFFTLength());
    WriteValue(stream, static_cast<std::int16_t>(Count()));
    for (int i = 0; i < Count(); ++i)
        WriteItemRecord(stream, Get(i));
}

// ---------------------------------------------------------------------------------------------
// TMMEqualizer: properties

TMMEqualizer::TMMEqualizer() : filters_(*this) {
    publishLinks(true, true);
    filters_.OnAfterChange = [this](TMMObject*) {
        filtersChanged();
    };
    SetFFTLength(256);
}

TMMEqualizer::~TMMEqualizer() {
    closeFilter();
}

void TMMEqualizer::SetEnabled(bool value) {
    enabled_.store(value, std::memory_order_release);
    ResetFilter();
}

void TMMEqualizer::SetSampleRate(std::int32_t value) {
    sampleRate_ = std::clamp(value, minSampleRate, maxSampleRate);
}

void TMMEqualizer::SetFFTLength(std::int32_t value) {
    const auto length = static_cast<std::int32_t>(
        std::bit_floor(static_cast<std::uint32_t>(std::clamp(value, minFFTLength, maxFFTLength))));
    if (length == fftLength_)
        return;
    fftLength_ = length;
    if (!active_)
        return;
    FFTFilterPtr replacement = createFilter();
    {
        std::lock_guard guard(lock_);
        filter_.swap(replacement);
    }
    ApplyFilters();
}

void TMMEqualizer::SetWindow(TMMFFTWindow value) {
    window_ = value;
    if (active_)
        SetFFTFilterWindow(filter_.get(), value);
}

void TMMEqualizer::SetFilters(const TMMEQFilterList& list) {
    filters_.Assign(list);
}

void TMMEqualizer::Assign(const TMMEqualizer& source) {
    SetChannel(source.GetChannel());
    SetEnabled(source.GetEnabled());
    SetDescription(source.description_);
    SetFFTLength(source.fftLength_);
    SetWindow(source.window_);
    SetFilters(source.filters_);
    SetSampleRate(source.sampleRate_);
}

// ---------------------------------------------------------------------------------------------
// TMMEqualizer: response

void TMMEqualizer::ResetFilter() {
    if (!active_)
        return;
    std::lock_guard guard(lock_);
    ResetFFTFilter(filter_.get());
}

void TMMEqualizer::ApplyFilters() {
    if (!active_)
        return;
    ResetResponse();
    for (int i = 0; i < filters_.Count(); ++i) {
        const TMMEQFilter* band = filters_.Band(i);
        if (band != nullptr && band->GetEnabled())
            SetFFTFilterBand(filter_.get(), band->GetF1(), band->GetF2(), band->GetGain());
    }
}

void TMMEqualizer::ResetResponse() {
    if (active_)
        SetFFTFilterBand(filter_.get(), 0, static_cast<float>(sampleRate_) / 2, 0);
}

void TMMEqualizer::Changed() {
    if (OnChange)
        OnChange(this);
}

// A band switched off sets its own range back to 0 dB at once, even where an earlier band
// overlaps it; the next ApplyFilters restores the earlier band there.
void TMMEqualizer::bandChanged(TMMEQFilter& band) {
    if (updating_)
        return;
    if (active_)
        SetFFTFilterBand(filter_.get(), band.GetF1(), band.GetF2(),
                         band.GetEnabled() ? band.GetGain() : 0.0f);
    Changed();
}

void TMMEqualizer::filtersChanged() {
    if (updating_ || filters_.UpdateCount() != 0)
        return;
    ApplyFilters();
    Changed();
}

// ---------------------------------------------------------------------------------------------
// TMMEqualizer: chain

void TMMEqualizer::SetWaveFormat(const TWaveFormatEx* format) {
    if (format != nullptr) {
        if (!isFilterableFormat(format))
            throw EMMEqualizerError(LoadEngineString(62));
        sampleRate_ = static_cast<std::int32_t>(format->nSamplesPerSec);
    }
    TMMDSPComponent::SetWaveFormat(format);
}

void TMMEqualizer::NotifyOpened() {
    openFilter();
    TMMDSPComponent::NotifyOpened();
}

void TMMEqualizer::NotifyClosed() {
    closeFilter();
    TMMDSPComponent::NotifyClosed();
}

void TMMEqualizer::NotifyStarted() {
    ApplyFilters();
    ResetFilter();
    TMMDSPComponent::NotifyStarted();
}

void TMMEqualizer::NotifyReset() {
    ResetFilter();
    TMMDSPComponent::NotifyReset();
}

FFTFilterPtr TMMEqualizer::createFilter() const {
    FFTFilterPtr filter(CreateFFTFilter(GetWaveFormat(), fftLength_, maxBytes_));
    if (filter == nullptr)
        throw std::bad_alloc();
    SetFFTFilterWindow(filter.get(), window_);
    return filter;
}

void TMMEqualizer::openFilter() {
    const TWaveFormatEx* format = GetWaveFormat();
    if (active_ || !isFilterableFormat(format))
        return;
    // Whole frames, so that a buffer cut into pieces of this size stays frame-aligned.
    const std::int32_t bytes = std::max(minFilterBytes, GetBufferSize());
    maxBytes_ = bytes - bytes % format->nBlockAlign;
    FFTFilterPtr filter = createFilter();
    {
        std::lock_guard guard(lock_);
        filter_ = std::move(filter);
    }
    active_ = true;
    ApplyFilters();
}

void TMMEqualizer::closeFilter() {
    if (!active_)
        return;
    active_ = false;
    std::lock_guard guard(lock_);
    filter_.reset();
}

// Buffers larger than the filter was made for go through in pieces it can take.
void TMMEqualizer::process(PWaveHdr buffer) {
    bool overflow = false;
    {
        std::lock_guard guard(lock_);
        if (filter_ == nullptr || !GetEnabled())
            return;
        const TMMChannel channel = GetChannel();
        char* data = buffer->wh.lpData;
        auto bytes = static_cast<std::int32_t>(buffer->wh.dwBytesRecorded);
        while (bytes > 0) {
            const std::int32_t piece = std::min(bytes, maxBytes_);
            overflow |= ProcessFFTFilter(filter_.get(), channel, data, piece);
            data += piece;
            bytes -= piece;
        }
    }
    // Outside the lock: the main thread may be waiting for it while it runs the event.
    if (overflow && OnPcmOverflow)
        SynchronizeFromWorker([this] { PcmOverflow(); });
}

void TMMEqualizer::PcmOverflow() {
    if (OnPcmOverflow)
        OnPcmOverflow(this);
}

void TMMEqualizer::BufferReady(PWaveHdr lpWaveHdr) {
    process(lpWaveHdr);
    TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMEqualizer::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    process(lpWaveHdr);
}

} // namespace vantrel
