#include "MMACMCvt.h"

#include <algorithm>
#include <cstring>

namespace vantrel {

const char* const ConverterErrorText = "Unable to convert to destination format";

namespace {

// Pulls that may convert nothing while the Input still delivers before the converter gives up.
constexpr int MaxStalledPulls = 5;
// Source bytes the codec converter pulls at once, rounded down to whole blocks.
constexpr std::uint32_t CodecSourceBytes = 8192;

bool sameFormat(const TWaveFormatEx& a, const TWaveFormatEx& b) {
    return a.wFormatTag == b.wFormatTag && a.wBitsPerSample == b.wBitsPerSample &&
           a.nChannels == b.nChannels && a.nSamplesPerSec == b.nSamplesPerSec;
}

// PCM the chain carries as it is.
bool carriedPcm(const TWaveFormatEx& format) {
    return format.wFormatTag == WAVE_FORMAT_PCM &&
           (format.wBitsPerSample == 8 || format.wBitsPerSample == 16);
}

TMMWaveFormatPtr copyOf(const TWaveFormatEx& format) {
    return CopyWaveFormat(&format);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TMMCustomConverter

TMMCustomConverter::TMMCustomConverter() {
    publishLinks(true, true);
}

TMMCustomConverter::~TMMCustomConverter() {
    freeBuffers();
}

void TMMCustomConverter::SetEnabled(bool enabled) {
    enabled_ = enabled;
    recompute();
}

void TMMCustomConverter::InputFormatChanged(const TWaveFormatEx* format) {
    source_ = CopyWaveFormat(format);
    recompute();
}

void TMMCustomConverter::recompute() {
    destination_ = enabled_ ? chooseDestination() : nullptr;
    needed_ = source_ != nullptr && destination_ != nullptr && !sameFormat(*source_, *destination_);
    possible_ = needed_ && canConvert(*source_, *destination_);
    TMMDSPComponent::SetWaveFormat(needed_ && possible_ ? destination_.get() : source_.get());
}

void TMMCustomConverter::NotifyOpened() {
    if (IsOpened())
        return;
    if (needed_ && !possible_)
        raiseConversionError();
    TMMDSPComponent::NotifyOpened();
    if (!needed_)
        return;
    try {
        sourceBuffer_ = allocateBuffer(openConversion());
    } catch (...) {
        closeConversion();
        throw;
    }
    buffersOpen_ = true;
    fill_ = consumed_ = 0;
    inputExhausted_ = false;
    inputHasMore_ = false;
}

void TMMCustomConverter::freeBuffers() {
    freeBuffer(sourceBuffer_);
    decoded_.clear();
    decoded_.shrink_to_fit();
    buffersOpen_ = false;
}

void TMMCustomConverter::NotifyClosed() {
    if (buffersOpen_) {
        closeConversion();
        freeBuffers();
    }
    TMMDSPComponent::NotifyClosed();
}

void TMMCustomConverter::NotifyStarted() {
    TMMDSPComponent::NotifyStarted();
    // A run starts afresh from where the reader stands; what the last run left (its flushed
    // end among it) must not stall this one.
    if (buffersOpen_) {
        resetConversion();
        consumed_ = fill_;
    }
    inputExhausted_ = false;
}

void TMMCustomConverter::NotifyReset() {
    if (buffersOpen_) {
        resetConversion();
        consumed_ = fill_;
        inputExhausted_ = false;
    }
    TMMDSPComponent::NotifyReset();
}

std::uint32_t TMMCustomConverter::takeDecoded(char* destination, std::uint32_t bytes) {
    const std::uint32_t taken = std::min(bytes, fill_ - consumed_);
    std::memcpy(destination, decoded_.data() + consumed_, taken);
    consumed_ += taken;
    return taken;
}

void TMMCustomConverter::pullSource(TMMBufferHeader& caller) {
    TMMBufferHeader& source = *sourceBuffer_;
    source.wh.dwBytesRecorded = 0;
    source.LoopEnabled = caller.LoopEnabled;
    source.LoopCount = caller.LoopCount;
    source.LoopsLeft = caller.LoopsLeft;
    source.LoopRestarted = 0;
    bool more = false;
    if (GetInput() != nullptr)
        GetInput()->BufferLoad(sourceBuffer_, more);
    source.wh.dwBytesRecorded = std::min(source.wh.dwBytesRecorded, source.wh.dwBufferLength);
    caller.LoopsLeft = source.LoopsLeft;
    if (source.LoopRestarted != 0)
        caller.LoopRestarted = source.LoopRestarted;
    inputHasMore_ = more;
    if (source.wh.dwBytesRecorded == 0 || !more)
        inputExhausted_ = true;
}

void TMMCustomConverter::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
    if (!conversionActive() || !IsStarted()) {
        TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
        return;
    }
    if (OnBufferLoad)
        OnBufferLoad(this, lpWaveHdr, MoreBuffers);
    TMMBufferHeader& buffer = *lpWaveHdr;
    const std::uint32_t wanted = buffer.wh.dwBufferLength;
    std::uint32_t got = 0;
    int stalls = 0;
    for (;;) {
        got += takeDecoded(buffer.wh.lpData + got, wanted - got);
        if (got == wanted || buffer.LoopRestarted != 0 || !IsStarted())
            break;
        if (!inputExhausted_) {
            pullSource(buffer);
            const std::uint32_t produced =
                convertSource(sourceBuffer_->wh.lpData, sourceBuffer_->wh.dwBytesRecorded, false);
            if (produced > 0)
                continue;
            if (!inputExhausted_) {
                if (++stalls >= MaxStalledPulls)
                    raiseConversionError();
                continue;
            }
        }
        if (convertSource(nullptr, 0, true) == 0)
            break;
    }
    buffer.wh.dwBytesRecorded = got;
    MoreBuffers = inputHasMore_ || fill_ > consumed_ || holdsSource();
}

// ---------------------------------------------------------------------------------------------
// TMMACMConverter

TMMACMConverter::TMMACMConverter() = default;

TMMACMConverter::~TMMACMConverter() {
    closeConversion();
}

void TMMACMConverter::SetQuality(TMMConvertQuality quality) {
    checkNotOpened<EMMConverterError>();
    quality_ = quality;
}

void TMMACMConverter::SetWaveFormat(const TWaveFormatEx* format) {
    requested_ = CopyWaveFormat(format);
    recompute();
}

TMMWaveFormatPtr TMMACMConverter::chooseDestination() {
    return CopyWaveFormat(requested_.get());
}

bool TMMACMConverter::streamPossible(const TWaveFormatEx& source,
                                     const TWaveFormatEx& destination) const {
    return CanOpenCodecStream(source, destination);
}

bool TMMACMConverter::canConvert(const TWaveFormatEx& source, const TWaveFormatEx& destination) {
    return !planChain(source, destination).empty();
}

std::vector<TWaveFormatEx> TMMACMConverter::planChain(const TWaveFormatEx& source,
                                                      const TWaveFormatEx& destination) const {
    if (streamPossible(source, destination))
        return {destination};
    // No codec does it in one step: go through a PCM format with the destination's channels
    // and rate, then on from there.
    TWaveFormatEx between = destination;
    const unsigned shape = SuggestChannels | SuggestRate;
    if (source.wFormatTag == WAVE_FORMAT_PCM) {
        if (destination.nChannels == source.nChannels &&
            destination.nSamplesPerSec == source.nSamplesPerSec)
            return {};
        if (!SuggestPCMFormat(source, between, shape))
            return {};
        if (!streamPossible(source, between)) {
            between.wBitsPerSample = between.wBitsPerSample == 8 ? 16 : 8;
            if (!SuggestPCMFormat(source, between, shape | SuggestBits))
                return {};
        }
    } else if (!SuggestPCMFormat(source, between, shape) || !streamPossible(source, between)) {
        if (!SuggestPCMFormat(source, between, 0))
            return {};
    }
    if (!streamPossible(source, between))
        return {};
    std::vector<TWaveFormatEx> chain{between};
    if (!sameFormat(between, destination)) {
        const std::vector<TWaveFormatEx> rest = planChain(between, destination);
        if (rest.empty())
            return {};
        chain.insert(chain.end(), rest.begin(), rest.end());
    }
    return chain;
}

std::uint32_t TMMACMConverter::openConversion() {
    const TWaveFormatEx& source = *GetSourceFormat();
    const std::vector<TWaveFormatEx> plan = planChain(source, *GetDestinationFormat());
    if (plan.empty())
        raiseConversionError();
    const std::uint32_t block = std::max<std::uint32_t>(source.nBlockAlign, 1);
    const std::uint32_t sourceBytes = std::max(CodecSourceBytes - CodecSourceBytes % block, block);
    const CodecQuality quality = quality_ == cqHigh ? CodecQuality::High : CodecQuality::RealTime;
    std::uint32_t inputBytes = sourceBytes;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        // The first stage reads the source record with its codec's extra bytes.
        const TWaveFormatEx& from = i == 0 ? source : plan[i - 1];
        TMMConversionStage stage{from, plan[i], CodecStream::open(from, plan[i], quality),
                                 {},   0,       {}};
        if (stage.stream == nullptr)
            raiseConversionError();
        const std::uint32_t fromBlock = std::max<std::uint32_t>(from.nBlockAlign, 1);
        stage.source.resize(inputBytes + fromBlock);
        inputBytes = stage.stream->destinationSize(inputBytes + fromBlock);
        stage.destination.resize(inputBytes);
        stages_.push_back(std::move(stage));
    }
    decoded() = std::move(stages_.back().destination);
    pushBuffer_ = allocateBuffer(static_cast<std::uint32_t>(GetBufferSize()));
    return sourceBytes;
}

void TMMACMConverter::closeConversion() {
    stages_.clear();
    freeBuffer(pushBuffer_);
}

std::vector<TWaveFormatEx> TMMACMConverter::StageFormats() const {
    std::vector<TWaveFormatEx> formats;
    for (const TMMConversionStage& stage : stages_)
        formats.push_back(stage.destinationFormat);
    return formats;
}

std::uint32_t TMMACMConverter::runStage(TMMConversionStage& stage, const char* data,
                                        std::uint32_t bytes, bool end, char* out,
                                        std::uint32_t capacity) {
    const auto room = static_cast<std::uint32_t>(stage.source.size()) - stage.carried;
    if (bytes > room)
        raiseConversionError(); // more than one pull's worth: the caller broke the contract
    if (bytes > 0)
        std::memcpy(stage.source.data() + stage.carried, data, bytes);
    const std::uint32_t total = stage.carried + bytes;
    const CodecStream::Result result =
        stage.stream->convert(stage.source.data(), total, out, capacity, end);
    stage.carried = total - result.consumed;
    std::memmove(stage.source.data(), stage.source.data() + result.consumed, stage.carried);
    return result.produced;
}

std::uint32_t TMMACMConverter::convertSource(const char* data, std::uint32_t bytes, bool end) {
    // At the end a stage flushes only once the stages before it gave nothing more, so that no
    // stage is flushed ahead of the data still coming to it; a pass may thus produce nothing
    // while a later stage still holds data, hence one pass per stage at most.
    std::uint32_t produced = 0;
    for (std::size_t pass = 0; pass < stages_.size() && produced == 0; ++pass) {
        const char* in = data;
        std::uint32_t inBytes = pass == 0 ? bytes : 0;
        bool upstreamDone = true;
        for (std::size_t i = 0; i < stages_.size(); ++i) {
            TMMConversionStage& stage = stages_[i];
            const bool last = i + 1 == stages_.size();
            char* out = last ? decoded().data() : stage.destination.data();
            const auto capacity =
                static_cast<std::uint32_t>(last ? decoded().size() : stage.destination.size());
            inBytes = runStage(stage, in, inBytes, end && upstreamDone, out, capacity);
            upstreamDone = upstreamDone && inBytes == 0;
            in = out;
        }
        produced = inBytes;
        if (!end)
            break;
    }
    decodedFilled(produced);
    return produced;
}

void TMMACMConverter::resetConversion() {
    for (TMMConversionStage& stage : stages_) {
        stage.carried = 0;
        stage.stream->reset();
    }
}

bool TMMACMConverter::holdsSource() const {
    return std::any_of(stages_.begin(), stages_.end(), [](const TMMConversionStage& stage) {
        return stage.carried > 0 || stage.stream->holdsOutput();
    });
}

void TMMACMConverter::raiseConversionError() const {
    throw EMMConverterError(ConverterErrorText);
}

void TMMACMConverter::BufferReady(PWaveHdr lpWaveHdr) {
    if (!conversionActive() || !IsStarted()) {
        TMMDSPComponent::BufferReady(lpWaveHdr);
        return;
    }
    const std::uint32_t piece =
        static_cast<std::uint32_t>(stages_.front().source.size()) -
        std::max<std::uint32_t>(stages_.front().sourceFormat.nBlockAlign, 1);
    const char* data = lpWaveHdr->wh.lpData;
    const std::uint32_t bytes = lpWaveHdr->wh.dwBytesRecorded;
    for (std::uint32_t offset = 0; offset < bytes; offset += piece) {
        convertSource(data + offset, std::min(piece, bytes - offset), false);
        sendDecoded();
    }
}

void TMMACMConverter::sendDecoded() {
    TMMBufferHeader& out = *pushBuffer_;
    while (std::uint32_t taken = takeDecoded(out.wh.lpData, out.wh.dwBufferLength)) {
        out.wh.dwBytesRecorded = taken;
        TMMDSPComponent::BufferReady(pushBuffer_);
    }
}

// ---------------------------------------------------------------------------------------------
// TMMPCMConverter

TMMPCMConverter::TMMPCMConverter() = default;

void TMMPCMConverter::SetAutoConvert(bool autoConvert) {
    autoConvert_ = autoConvert;
    recompute();
}

void TMMPCMConverter::SetSampleRate(std::int32_t rate) {
    sampleRate_ = std::clamp(rate, MinSampleRate, MaxSampleRate);
    recompute();
}

void TMMPCMConverter::SetBitLength(TMMBits bits) {
    bitLength_ = bits;
    recompute();
}

void TMMPCMConverter::SetMode(TMMMode mode) {
    if (mode != mMono && mode != mStereo)
        return;
    mode_ = mode;
    recompute();
}

void TMMPCMConverter::SetRequired(TMMRequiredParams required) {
    required_ = required & AllRequiredParams;
    recompute();
}

void TMMPCMConverter::SetWaveFormat(const TWaveFormatEx* format) {
    if (!IsValidPCMFormat(format) || format->nChannels > 2)
        throw EMMConverterError(LoadEngineString(62));
    bitLength_ = format->wBitsPerSample == 8 ? b8Bit : b16Bit;
    mode_ = format->nChannels == 1 ? mMono : mStereo;
    sampleRate_ =
        std::clamp(static_cast<std::int32_t>(format->nSamplesPerSec), MinSampleRate, MaxSampleRate);
    recompute();
}

TMMWaveFormatPtr TMMPCMConverter::chooseDestination() {
    const TWaveFormatEx* source = GetSourceFormat();
    TWaveFormatEx format{};
    if (source == nullptr) {
        if (autoConvert_)
            return nullptr;
        BuildPCMFormat(format, bitsOf(bitLength_), mode_ + 1,
                       static_cast<std::uint32_t>(sampleRate_));
        return copyOf(format);
    }
    if (autoConvert_ && carriedPcm(*source))
        return copyOf(*source);
    if (!SuggestPCMFormat(*source, format, 0) ||
        (autoConvert_ && !CanOpenCodecStream(*source, format))) {
        // Nothing decodes the source: aim at plain PCM all the same, so that opening reports
        // the conversion as impossible instead of sending undecodable data downstream.
        BuildPCMFormat(format, 16, source->nChannels, source->nSamplesPerSec);
        return copyOf(format);
    }
    if (autoConvert_)
        return copyOf(format);
    const bool bits = (GetRequired() & 1u << rpBits) != 0;
    const bool channels = (GetRequired() & 1u << rpChannels) != 0;
    const bool rate = (GetRequired() & 1u << rpSampleRate) != 0;
    BuildPCMFormat(format, bits ? bitsOf(bitLength_) : format.wBitsPerSample,
                   channels ? mode_ + 1 : format.nChannels,
                   rate ? static_cast<std::uint32_t>(sampleRate_) : format.nSamplesPerSec);
    return copyOf(format);
}

} // namespace vantrel
