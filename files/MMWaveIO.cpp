#include "MMWaveIO.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>

namespace vantrel {

const std::array<std::uint32_t, InfoIdCount> InfoIds = {
    fourCC("IARL"), fourCC("IART"), fourCC("ICMS"), fourCC("ICMT"), fourCC("ICOP"), fourCC("ICRD"),
    fourCC("ICRP"), fourCC("IDIM"), fourCC("IDPI"), fourCC("IENG"), fourCC("IGNR"), fourCC("IKEY"),
    fourCC("ILGT"), fourCC("IMED"), fourCC("INAM"), fourCC("IPLT"), fourCC("IPRD"), fourCC("ISBJ"),
    fourCC("ISFT"), fourCC("ISHP"), fourCC("ISRC"), fourCC("ISRF"), fourCC("ITCH")};

namespace {

constexpr std::uint32_t ChunkFmt = fourCC("fmt ");
constexpr std::uint32_t ChunkData = fourCC("data");
constexpr std::uint32_t ChunkFact = fourCC("fact");
constexpr std::uint32_t ChunkDisp = fourCC("DISP");
constexpr std::uint32_t FormInfo = fourCC("INFO");
constexpr std::uint32_t DispText = 1;
constexpr std::uint32_t DispBitmap = 8;

constexpr std::uint32_t PcmFormatChunkBytes = 16;
// A format chunk cannot carry more than the record and its 16-bit count of extra bytes.
constexpr std::uint32_t MaxFormatChunkBytes = sizeof(TWaveFormatEx) + 0xFFFF;
// INFO and DISP chunks larger than this are not metadata anyone wrote on purpose; skipped.
constexpr std::uint32_t MaxListChunkBytes = 16 * 1024 * 1024;
// Sample data stays addressable by the 32-bit signed conversions of the engine.
constexpr std::int64_t MaxDataBytes = std::numeric_limits<std::int32_t>::max();

InfoList emptyInfoList() {
    InfoList list;
    for (std::size_t i = 0; i < InfoIdCount; ++i)
        list.entries.push_back({static_cast<std::uint16_t>(i), 0, 0, 0, std::nullopt});
    return list;
}

std::unique_ptr<WaveIOInfo> newRecord(std::uint32_t formatBytes) {
    auto info = std::make_unique<WaveIOInfo>();
    info->formatBytes = std::max<std::uint32_t>(formatBytes, sizeof(TWaveFormatEx));
    // One spare zero byte, so that a short PCM record still ends in cbSize = 0.
    info->waveFormat = allocateWaveFormat(info->formatBytes + 1);
    info->infoList = emptyInfoList();
    return info;
}

// Opens a disk file, writable when the file allows it, and descends into its "RIFF" chunk.
std::unique_ptr<RiffFile> openRiff(const std::string& fileName, std::uint32_t formType,
                                   ChunkInfo& riff) {
    auto file = RiffFile::open(fileName, RiffFile::Access::readWrite);
    if (file == nullptr)
        file = RiffFile::open(fileName, RiffFile::Access::read);
    if (file == nullptr || !file->descend(riff, nullptr))
        return nullptr;
    if (riff.id != ChunkRiff || riff.formType != formType)
        return nullptr;
    return file;
}

// --- Parsing ---------------------------------------------------------------------------------

// What the chunk walk found.
struct ParseState {
    std::unique_ptr<WaveIOInfo> info; // made when the format is read
    std::int64_t fileSize = 0;
    std::int64_t endOfData = 0;
    std::int64_t dataOffset = 0;
    std::uint32_t declaredDataSize = 0;
    std::int64_t factSamples = -1;
    bool formatSeen = false;
    bool dataSeen = false;
    bool afterData = false;
    InfoList infoList = emptyInfoList();
    std::vector<DispEntry> dispList;
};

// Reads a chunk body of `bytes` bytes; false when the file has fewer.
bool readBody(RiffFile& file, std::vector<char>& body, std::uint32_t bytes) {
    body.assign(bytes, 0);
    return file.read(body.data(), bytes) == static_cast<std::int64_t>(bytes);
}

int readInfoList(RiffFile& file, const ChunkInfo& chunk, InfoList& list) {
    if (chunk.size < 5 || chunk.size > MaxListChunkBytes)
        return 0;
    if (!readBody(file, list.raw, chunk.size - 4))
        return 3;
    const std::int64_t length = static_cast<std::int64_t>(list.raw.size());
    for (std::int64_t offset = 0; offset + 8 <= length;) {
        const std::uint32_t id = loadLittleEndian32(list.raw.data() + offset);
        const std::uint32_t size = loadLittleEndian32(list.raw.data() + offset + 4);
        const std::int64_t textOffset = offset + 8;
        const auto known = std::find(InfoIds.begin(), InfoIds.end(), id);
        if (known != InfoIds.end() && textOffset < length) {
            InfoEntry& entry = list.entries[static_cast<std::size_t>(known - InfoIds.begin())];
            const auto available = std::min<std::int64_t>(size, length - textOffset);
            const char* text = list.raw.data() + textOffset;
            entry.textOffset = static_cast<std::uint32_t>(textOffset);
            entry.textLength =
                static_cast<std::uint32_t>(std::find(text, text + available, '\0') - text);
        }
        offset = textOffset + size + (size & 1);
    }
    return 0;
}

int readDispEntry(RiffFile& file, const ChunkInfo& chunk, std::vector<DispEntry>& list) {
    if (chunk.size < 5 || chunk.size > MaxListChunkBytes)
        return 0;
    std::vector<char> body;
    if (!readBody(file, body, chunk.size))
        return 3;
    list.push_back(
        {loadLittleEndian32(body.data()), std::vector<char>(body.begin() + 4, body.end()), {}});
    return 0;
}

int readFormat(RiffFile& file, const ChunkInfo& chunk, ParseState& state) {
    if (chunk.size > MaxFormatChunkBytes)
        return WaveIOErrBadFile;
    state.info = newRecord(chunk.size);
    if (file.read(state.info->waveFormat.get(), chunk.size) != std::int64_t{chunk.size})
        return WaveIOErrFile;
    // The extra bytes a record claims must lie inside the chunk it came from.
    TWaveFormatEx& format = *state.info->waveFormat;
    const std::uint32_t extraBytes =
        chunk.size > sizeof(TWaveFormatEx) ? chunk.size - sizeof(TWaveFormatEx) : 0;
    if (format.wFormatTag == WAVE_FORMAT_PCM || chunk.size < sizeof(TWaveFormatEx))
        format.cbSize = 0;
    format.cbSize = static_cast<std::uint16_t>(std::min<std::uint32_t>(format.cbSize, extraBytes));
    state.formatSeen = true;
    return 0;
}

// Handles one chunk of the walk. Returns 0 to go on, a code to fail, or -1 to end the walk.
int parseChunk(RiffFile& file, const ChunkInfo& chunk, ParseState& state) {
    if (chunk.id == ChunkList && chunk.formType == FormInfo)
        return readInfoList(file, chunk, state.infoList);
    if (chunk.id == ChunkDisp)
        return readDispEntry(file, chunk, state.dispList);
    if (chunk.id == ChunkFmt)
        return state.formatSeen ? -1 : readFormat(file, chunk, state);
    if (chunk.id == ChunkData) {
        if (state.dataSeen && state.declaredDataSize != 0)
            return -1;
        state.declaredDataSize = chunk.size;
        state.dataOffset = chunk.dataOffset;
        state.dataSeen = true;
        state.afterData = true;
        return 0;
    }
    if (chunk.id == ChunkFact) {
        if (state.factSamples >= 0)
            return -1;
        char bytes[4] = {};
        if (chunk.size >= 4 && file.read(bytes, 4) == 4)
            state.factSamples = loadLittleEndian32(bytes);
    }
    return 0;
}

int walkChunks(RiffFile& file, const ChunkInfo& riff, ParseState& state) {
    const std::int64_t riffEnd = std::int64_t{riff.dataOffset} + riff.size;
    ChunkInfo chunk{};
    while (file.descend(chunk, &riff)) {
        const std::int64_t chunkEnd = std::int64_t{chunk.dataOffset} + chunk.size;
        if (chunkEnd > riffEnd) {
            if (state.formatSeen && state.dataSeen)
                break;
            if (chunkEnd > state.fileSize)
                chunk.size = static_cast<std::uint32_t>(state.fileSize - chunk.dataOffset);
        }
        if (state.afterData) {
            state.endOfData = std::int64_t{chunk.dataOffset} - 8;
            state.afterData = false;
        }
        const int result = parseChunk(file, chunk, state);
        if (result < 0)
            break;
        if (result > 0)
            return result;
        if (!file.ascend(chunk)) {
            if (state.dataSeen && state.declaredDataSize != 0)
                break;
            return WaveIOErrFile;
        }
    }
    return 0;
}

// Frames in `bytes` bytes, or -1 when the count does not fit the record.
std::int64_t framesIn(const TWaveFormatEx& format, std::int64_t bytes) {
    const std::int64_t frames =
        (bytes * format.nSamplesPerSec + format.nAvgBytesPerSec / 2) / format.nAvgBytesPerSec;
    return frames > std::numeric_limits<std::int32_t>::max() ? -1 : frames;
}

// True when the byte, frame and millisecond conversions can work with `format`: nothing they
// divide by is 0, the rates fit their signed 32-bit arithmetic, and one block is addressable.
bool isAddressable(const TWaveFormatEx& format) {
    constexpr std::uint32_t Max = std::numeric_limits<std::int32_t>::max();
    return format.nBlockAlign != 0 && format.nChannels != 0 && format.nSamplesPerSec != 0 &&
           format.nSamplesPerSec <= Max && format.nAvgBytesPerSec != 0 &&
           format.nAvgBytesPerSec <= Max && framesIn(format, format.nBlockAlign) >= 0;
}

// A PCM header's block size and byte rate follow from channels, bits and rate, whatever the
// file says; false when they do not fit the record.
bool recomputePcmRates(TWaveFormatEx& format) {
    const std::uint32_t blockAlign = std::uint32_t{format.wBitsPerSample} * format.nChannels / 8;
    const std::uint64_t avgBytes = std::uint64_t{blockAlign} * format.nSamplesPerSec;
    if (blockAlign == 0 || blockAlign > 0xFFFF ||
        avgBytes > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
        return false;
    format.nBlockAlign = static_cast<std::uint16_t>(blockAlign);
    format.nAvgBytesPerSec = static_cast<std::uint32_t>(avgBytes);
    return true;
}

int finishRecord(ParseState& state) {
    if (!state.formatSeen)
        return WaveIOErrBadFile;
    TWaveFormatEx& format = *state.info->waveFormat;
    if (!state.dataSeen || format.nBlockAlign == 0)
        return WaveIOErrBadFile;
    std::int64_t dataBytes = std::max<std::int64_t>(state.endOfData - state.dataOffset, 0);
    // The data runs to the next chunk, but the pad byte of an odd-sized data chunk is no sample.
    const std::uint32_t declared = state.declaredDataSize;
    if ((declared & 1) != 0 && dataBytes == std::int64_t{declared} + 1)
        dataBytes = declared;
    dataBytes = std::min(dataBytes, MaxDataBytes);
    dataBytes -= dataBytes % format.nBlockAlign;
    if (format.wFormatTag == WAVE_FORMAT_PCM && !recomputePcmRates(format))
        return WaveIOErrBadFile;
    if (!isAddressable(format))
        return WaveIOErrBadFile;
    const std::int64_t frames = framesIn(format, dataBytes);
    if (frames < 0)
        return WaveIOErrBadFile;

    WaveIOInfo& info = *state.info;
    info.fileSize = static_cast<std::uint32_t>(state.fileSize);
    info.dataSize = static_cast<std::uint32_t>(dataBytes);
    info.dataOffset = static_cast<std::uint32_t>(state.dataOffset);
    info.totalSamples = BytesToSamples(format, static_cast<std::int32_t>(dataBytes));
    info.lastSample = info.totalSamples;
    info.dispList = std::move(state.dispList);
    info.infoList = std::move(state.infoList);
    return 0;
}

// --- Finalising ------------------------------------------------------------------------------

bool writeChunk(RiffFile& file, std::uint32_t id, const void* body, std::int64_t bytes) {
    ChunkInfo chunk{id, 0, 0, 0, 0};
    return file.createChunk(chunk, false) && file.write(body, bytes) == bytes && file.ascend(chunk);
}

// The bytes of a DISP entry as they are written: a text up to and including its zero, a bitmap
// as long as its header says (never more than the entry holds); nothing for other types.
std::vector<char> dispBody(const DispEntry& entry) {
    const std::vector<char>& data = entry.replacement ? *entry.replacement : entry.data;
    std::size_t bytes = 0;
    if (entry.type == DispText) {
        bytes = static_cast<std::size_t>(std::find(data.begin(), data.end(), '\0') - data.begin());
        std::vector<char> text(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(bytes));
        text.push_back('\0');
        return text;
    }
    if (entry.type == DispBitmap && data.size() >= 36) {
        const std::uint64_t headerBytes = loadLittleEndian32(data.data());
        const std::uint64_t imageBytes = loadLittleEndian32(data.data() + 20);
        const std::uint64_t coloursUsed = loadLittleEndian32(data.data() + 32);
        bytes = static_cast<std::size_t>(
            std::min<std::uint64_t>(headerBytes + imageBytes + 4 * coloursUsed, data.size()));
        return {data.begin(), data.begin() + static_cast<std::ptrdiff_t>(bytes)};
    }
    return {};
}

bool writeDispList(RiffFile& file, const std::vector<DispEntry>& list) {
    for (const DispEntry& entry : list) {
        const std::vector<char> body = dispBody(entry);
        if (body.empty())
            continue;
        std::vector<char> chunk(4 + body.size());
        storeLittleEndian32(chunk.data(), entry.type);
        std::copy(body.begin(), body.end(), chunk.begin() + 4);
        if (!writeChunk(file, ChunkDisp, chunk.data(), static_cast<std::int64_t>(chunk.size())))
            return false;
    }
    return true;
}

bool writeInfoList(RiffFile& file, const InfoList& list) {
    const bool anyText = std::any_of(list.entries.begin(), list.entries.end(), [&](auto& entry) {
        return !infoText(list, entry.index).empty();
    });
    if (!anyText)
        return true;
    ChunkInfo info{ChunkList, 0, FormInfo, 0, 0};
    if (!file.createChunk(info, true))
        return false;
    for (const InfoEntry& entry : list.entries) {
        const std::string text = infoText(list, entry.index);
        if (!text.empty() && !writeChunk(file, InfoIds[entry.index], text.c_str(),
                                         static_cast<std::int64_t>(text.size()) + 1))
            return false;
    }
    return file.ascend(info);
}

bool finaliseFile(WaveIOInfo& info) {
    RiffFile& file = *info.file;
    if (!file.flush())
        return false;
    if (!file.wasCreated()) {
        info.riffChunk.size = 0;
        info.riffChunk.flags |= ChunkDirty;
        info.dataChunk.size = 0;
    }
    // Sizes are measured from the end of the data, wherever the last seek left the file.
    info.dataChunk.flags |= ChunkDirty;
    const std::int64_t dataEnd = std::int64_t{info.dataOffset} + info.dataSize;
    if (file.seek(dataEnd, SEEK_SET) != dataEnd || !file.ascend(info.dataChunk))
        return false;
    if (info.waveFormat->wFormatTag != WAVE_FORMAT_PCM) {
        char samples[4];
        storeLittleEndian32(samples, info.totalSamples);
        if (!writeChunk(file, ChunkFact, samples, 4))
            return false;
    }
    if (!writeDispList(file, info.dispList) || !writeInfoList(file, info.infoList))
        return false;
    if (!file.ascend(info.riffChunk))
        return false;
    // A rewritten file may have been longer; what lay behind the new end is stale.
    const std::int64_t end = file.position();
    if (end < 0 || !file.truncate(end))
        return false;
    info.fileSize = static_cast<std::uint32_t>(end);
    info.lastSample = info.totalSamples;
    return true;
}

std::int32_t roundDownToBlock(const TWaveFormatEx& format, std::int64_t bytes) {
    return static_cast<std::int32_t>(bytes -
                                     bytes % std::max<std::uint16_t>(format.nBlockAlign, 1));
}

} // namespace

// --- Public operations -----------------------------------------------------------------------

int ReadWaveInfo(PWaveIOInfo& info, const std::string& fileName, std::uint32_t formType,
                 std::uint32_t mode) {
    info = nullptr;
    ChunkInfo riff{};
    auto file = openRiff(fileName, formType, riff);
    if (file == nullptr)
        return WaveIOErrFile;
    ParseState state;
    state.fileSize =
        std::min<std::int64_t>(file->seek(0, SEEK_END), std::numeric_limits<std::uint32_t>::max());
    if (state.fileSize < 0 || file->seek(riff.dataOffset + 4, SEEK_SET) < 0)
        return WaveIOErrFile;
    // A size beyond the file is cut to it; a size of nothing but the form type is a recording
    // that stopped before its sizes were patched, whose chunks run to the end of the file.
    const bool unpatched = riff.size <= 4;
    if (unpatched || std::int64_t{riff.dataOffset} + riff.size > state.fileSize)
        riff.size = static_cast<std::uint32_t>(state.fileSize - riff.dataOffset);
    state.endOfData = state.fileSize;
    if (const int result = walkChunks(*file, riff, state); result != 0)
        return result;
    if (const int result = finishRecord(state); result != 0)
        return result;
    state.info->mode = mode;
    state.info->riffChunk = riff;
    state.info->fileName = expandFileName(fileName);
    info = state.info.release();
    return 0;
}

int NewWaveInfo(PWaveIOInfo& info, const TWaveFormatEx* format) {
    info = nullptr;
    if (format == nullptr || !isAddressable(*format))
        return WaveIOErrBadParam;
    const int bytes = FormatRecordSize(format);
    auto record = newRecord(static_cast<std::uint32_t>(bytes));
    std::memcpy(record->waveFormat.get(), format, static_cast<std::size_t>(bytes));
    if (format->wFormatTag == WAVE_FORMAT_PCM)
        record->waveFormat->cbSize = 0;
    info = record.release();
    return 0;
}

int CreateWaveFile(PWaveIOInfo info, const std::string& fileName) {
    if (info == nullptr || fileName.empty() || info->waveFormat == nullptr)
        return WaveIOErrBadParam;
    const std::string fullName = expandFileName(fileName);
    auto file = RiffFile::open(fullName, RiffFile::Access::create);
    const TWaveFormatEx& format = *info->waveFormat;
    const std::uint32_t formatChunkBytes = format.wFormatTag == WAVE_FORMAT_PCM
                                               ? PcmFormatChunkBytes
                                               : sizeof(TWaveFormatEx) + format.cbSize;
    ChunkInfo riff{ChunkRiff, 0, FormWave, 0, 0};
    ChunkInfo data{ChunkData, 0, 0, 0, 0};
    const bool written = file != nullptr && file->createChunk(riff, true) &&
                         writeChunk(*file, ChunkFmt, &format, formatChunkBytes) &&
                         file->createChunk(data, false);
    if (!written) {
        file.reset();
        deleteFile(fullName);
        return WaveIOErrFile;
    }
    info->file = std::move(file);
    info->riffChunk = riff;
    info->dataChunk = data;
    info->dataOffset = data.dataOffset;
    info->fileName = fullName;
    info->totalSamples = BytesToSamples(format, static_cast<std::int32_t>(info->dataSize));
    info->firstSample = 0;
    info->lastSample = info->totalSamples;
    return 0;
}

int OpenWaveIO(PWaveIOInfo info) {
    if (info == nullptr)
        return WaveIOErrBadParam;
    if (info->file == nullptr) {
        info->file = openRiff(info->fileName, FormWave, info->riffChunk);
        if (info->file == nullptr)
            return WaveIOErrFile;
    }
    return SeekWaveIO(info, static_cast<std::int32_t>(info->position));
}

int SetWaveIOBuffer(PWaveIOInfo info, std::int32_t bytes) {
    if (info == nullptr)
        return WaveIOErrBadParam;
    if (info->file == nullptr)
        return WaveIOErrBadFile;
    return info->file->setBuffer(static_cast<std::size_t>(std::max(bytes, 0))) ? 0 : WaveIOErrFile;
}

int SeekWaveIO(PWaveIOInfo info, std::int32_t frame) {
    if (info == nullptr)
        return WaveIOErrBadParam;
    const TWaveFormatEx& format = *info->waveFormat;
    const std::int64_t regionFrames = std::int64_t{info->lastSample} - info->firstSample;
    frame = static_cast<std::int32_t>(
        std::max<std::int64_t>(std::min<std::int64_t>(frame, regionFrames - 1), 0));
    std::int32_t bytes = SamplesToBytes(format, info->firstSample + frame);
    if (info->file != nullptr) {
        bytes = roundDownToBlock(format, std::min<std::int64_t>(bytes, info->dataSize));
        RiffFile& file = *info->file;
        ChunkInfo data{};
        const std::int64_t header = std::int64_t{info->dataOffset} - 8;
        if (file.seek(header, SEEK_SET) != header || !file.descend(data, nullptr) ||
            data.id != ChunkData || file.seek(bytes, SEEK_CUR) < 0)
            return WaveIOErrFile;
        data.flags |= info->dataChunk.flags & ChunkDirty; // written data still needs its size
        info->dataChunk = data;
        // Frames round to bytes through the average rate, which a non-PCM header may state
        // loosely; reads must still end with the data.
        const std::int64_t regionEnd = std::min<std::int64_t>(
            SamplesToBytes(format, static_cast<std::int32_t>(info->lastSample)), info->dataSize);
        info->bytesRemaining =
            static_cast<std::int32_t>(std::max<std::int64_t>(regionEnd - bytes, 0));
    }
    info->position =
        static_cast<std::uint32_t>(std::max(BytesToSamples(format, bytes) - info->firstSample, 0));
    return 0;
}

std::int32_t ReadWaveIO(PWaveIOInfo info, void* buffer, std::int32_t length) {
    if (info == nullptr || info->file == nullptr || info->bytesRemaining <= 0 || length < 0)
        return -1;
    const std::int64_t got = info->file->read(buffer, std::min(length, info->bytesRemaining));
    if (got < 0)
        return -1;
    if (got < length)
        info->bytesRemaining = 0;
    if (got > 0) {
        const TWaveFormatEx& format = *info->waveFormat;
        info->bytesRemaining = std::max(info->bytesRemaining - static_cast<std::int32_t>(got), 0);
        info->position =
            static_cast<std::uint32_t>(std::int64_t{info->lastSample} - info->firstSample -
                                       BytesToSamples(format, info->bytesRemaining));
    }
    return static_cast<std::int32_t>(got);
}

std::int32_t WriteWaveIO(PWaveIOInfo info, const void* buffer, std::int32_t length) {
    if (info == nullptr || info->file == nullptr || length <= 0)
        return -1;
    RiffFile& file = *info->file;
    const std::int64_t start = file.position();
    if (start < 0)
        return -1;
    if (start - info->dataOffset + length > MaxDataBytes)
        return 0;
    const std::int64_t written = file.write(buffer, length);
    if (written <= 0)
        return static_cast<std::int32_t>(written);
    const TWaveFormatEx& format = *info->waveFormat;
    info->dataChunk.flags |= ChunkDirty;
    const std::int64_t offset = start + written - info->dataOffset;
    const std::int32_t position = BytesToSamples(format, static_cast<std::int32_t>(offset));
    info->position = static_cast<std::uint32_t>(std::max(position, 0));
    if (offset > info->dataSize)
        info->dataSize = static_cast<std::uint32_t>(offset);
    if (info->position > info->totalSamples)
        info->totalSamples = info->lastSample = info->position;
    info->bytesRemaining = SamplesToBytes(format, static_cast<std::int32_t>(info->lastSample) -
                                                      static_cast<std::int32_t>(info->position));
    return static_cast<std::int32_t>(written);
}

int CloseWaveIO(PWaveIOInfo info) {
    if (info == nullptr)
        return WaveIOErrBadParam;
    int result = 0;
    if (info->file != nullptr && (info->dataChunk.flags & ChunkDirty) != 0)
        result = finaliseFile(*info) ? 0 : WaveIOErrFile;
    info->file.reset();
    info->bytesRemaining = 0;
    info->position = 0;
    return result;
}

int CopyWaveInfoLists(PWaveIOInfo destination, PWaveIOInfo source) {
    if (destination == nullptr || source == nullptr)
        return WaveIOErrBadParam;
    for (std::size_t i = 0; i < InfoIdCount; ++i) {
        std::string text = infoText(source->infoList, i);
        if (!text.empty())
            destination->infoList.entries[i].replacement = std::move(text);
    }
    std::vector<DispEntry> copies;
    for (const DispEntry& entry : source->dispList) {
        const std::vector<char>& data = entry.replacement ? *entry.replacement : entry.data;
        if (!data.empty())
            copies.push_back({entry.type, data, std::nullopt});
    }
    destination->dispList = std::move(copies);
    return 0;
}

int FreeWaveInfo(PWaveIOInfo& info) {
    if (info == nullptr)
        return WaveIOErrBadParam;
    delete info;
    info = nullptr;
    return 0;
}

bool IsWaveFile(const std::string& fileName) {
    PWaveIOInfo info = nullptr;
    if (ReadWaveInfo(info, fileName, FormWave, WaveIOModeFile) != 0)
        return false;
    FreeWaveInfo(info);
    return true;
}

bool MakeTempWaveName(std::string& path) {
    std::error_code error;
    const std::filesystem::path directory =
        path.empty() ? std::filesystem::temp_directory_path(error)
                     : std::filesystem::path(expandFileName(path)).parent_path();
    if (error)
        return false;
    constexpr int NameCount = 256;
    std::random_device random;
    const int first = static_cast<int>(random() % NameCount);
    // A taken name is skipped rather than deleted: the directory is the user's, and a file
    // that happens to be called "w1a.tmp" may be theirs.
    for (int i = 0; i < NameCount; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "w%x.tmp", (first + i) % NameCount + 1);
        const std::filesystem::path candidate = directory / name;
        if (!std::filesystem::exists(candidate, error) && !error) {
            path = candidate.string();
            return true;
        }
    }
    return false;
}

std::string infoText(const InfoList& list, std::size_t index) {
    if (index >= list.entries.size())
        return {};
    const InfoEntry& entry = list.entries[index];
    if (entry.replacement)
        return *entry.replacement;
    if (entry.textOffset == 0 || entry.textOffset >= list.raw.size())
        return {};
    return std::string(list.raw.data() + entry.textOffset, entry.textLength);
}

} // namespace vantrel
