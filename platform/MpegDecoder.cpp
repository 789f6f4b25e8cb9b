#include "MpegDecoder.h"

#include "Application.h"
#include "DynamicLibrary.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

// The exported name of a libmpg123 function: its header maps some names to versioned ones.
#define VANTREL_MPG123_NAME2(function) #function
#define VANTREL_MPG123_NAME(function) VANTREL_MPG123_NAME2(function)

namespace vantrel {

namespace {

constexpr int FunctionSetVersion = 25;
constexpr const char* DefaultLibraryName = "libmpg123.so.0";
// Reads in a row that may decode nothing before a read gives up (damaged data).
constexpr int MaxEmptyReads = 64;

// Frames decoded ahead of a seek target. Layer III frames take part of their data from
// earlier frames (up to 511 bytes back); in low-rate MPEG-2 files that spans many small frames,
// and a decoder primed with too few of them yields silence after a seek.
constexpr long SeekPreframes = 20;

enum ChannelMode { ChannelLeft, ChannelRight, ChannelBoth, ChannelDownMix };

struct Mpg123Api {
    decltype(&::mpg123_init) init;
    decltype(&::mpg123_new) create;
    decltype(&::mpg123_delete) destroy;
    decltype(&::mpg123_param) param;
    decltype(&::mpg123_format_none) formatNone;
    decltype(&::mpg123_format) format;
    decltype(&::mpg123_rates) rates;
    decltype(&::mpg123_replace_reader_handle) replaceReader;
    decltype(&::mpg123_open_handle) openHandle;
    decltype(&::mpg123_close) close;
    decltype(&::mpg123_scan) scan;
    decltype(&::mpg123_getformat) getFormat;
    decltype(&::mpg123_info) info;
    decltype(&::mpg123_framelength) frameLength;
    decltype(&::mpg123_length) length;
    decltype(&::mpg123_spf) samplesPerFrame;
    decltype(&::mpg123_seek) seek;
    decltype(&::mpg123_tell) tell;
    decltype(&::mpg123_read) read;
    decltype(&::mpg123_plain_strerror) errorText;
    decltype(&::mpg123_id3) id3;

    bool resolve(const DynamicLibrary& library) {
        return library.resolve(init, VANTREL_MPG123_NAME(mpg123_init)) &&
               library.resolve(create, VANTREL_MPG123_NAME(mpg123_new)) &&
               library.resolve(destroy, VANTREL_MPG123_NAME(mpg123_delete)) &&
               library.resolve(param, VANTREL_MPG123_NAME(mpg123_param)) &&
               library.resolve(formatNone, VANTREL_MPG123_NAME(mpg123_format_none)) &&
               library.resolve(format, VANTREL_MPG123_NAME(mpg123_format)) &&
               library.resolve(rates, VANTREL_MPG123_NAME(mpg123_rates)) &&
               library.resolve(replaceReader, VANTREL_MPG123_NAME(mpg123_replace_reader_handle)) &&
               library.resolve(openHandle, VANTREL_MPG123_NAME(mpg123_open_handle)) &&
               library.resolve(close, VANTREL_MPG123_NAME(mpg123_close)) &&
               library.resolve(scan, VANTREL_MPG123_NAME(mpg123_scan)) &&
               library.resolve(getFormat, VANTREL_MPG123_NAME(mpg123_getformat)) &&
               library.resolve(info, VANTREL_MPG123_NAME(mpg123_info)) &&
               library.resolve(frameLength, VANTREL_MPG123_NAME(mpg123_framelength)) &&
               library.resolve(length, VANTREL_MPG123_NAME(mpg123_length)) &&
               library.resolve(samplesPerFrame, VANTREL_MPG123_NAME(mpg123_spf)) &&
               library.resolve(seek, VANTREL_MPG123_NAME(mpg123_seek)) &&
               library.resolve(tell, VANTREL_MPG123_NAME(mpg123_tell)) &&
               library.resolve(read, VANTREL_MPG123_NAME(mpg123_read)) &&
               library.resolve(errorText, VANTREL_MPG123_NAME(mpg123_plain_strerror)) &&
               library.resolve(id3, VANTREL_MPG123_NAME(mpg123_id3));
    }
};

struct LoadedLibrary {
    DynamicLibrary library;
    Mpg123Api api{};
    bool loaded = false;
    std::string name = DefaultLibraryName;
};

LoadedLibrary& decoderLibrary() {
    static LoadedLibrary library;
    return library;
}

std::uint32_t u32At(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) |
           static_cast<std::uint32_t>(p[3]) << 24;
}

// The byte range of the "data" chunk when `fd` holds a RIFF/WAVE file.
bool waveDataRange(int fd, off_t fileSize, off_t& start, off_t& length) {
    unsigned char header[12];
    if (pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        std::memcmp(header, "RIFF", 4) != 0 || std::memcmp(header + 8, "WAVE", 4) != 0)
        return false;
    for (off_t at = 12; at + 8 <= fileSize;) {
        unsigned char chunk[8];
        if (pread(fd, chunk, sizeof chunk, at) != static_cast<ssize_t>(sizeof chunk))
            return false;
        const off_t size = u32At(chunk + 4);
        if (std::memcmp(chunk, "data", 4) == 0) {
            start = at + 8;
            length = std::min(size, fileSize - start);
            return true;
        }
        at += 8 + size + (size & 1);
    }
    return false;
}

// A text of a fixed-size ID3v1 field, without its trailing zeros and blanks.
std::string fieldText(const char* field, std::size_t size) {
    std::string text(field, strnlen(field, size));
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::string stringText(const mpg123_string* text) {
    return text != nullptr && text->p != nullptr
               ? std::string(text->p, strnlen(text->p, text->fill))
               : std::string();
}

// The tag texts: ID3v2 where it has them, else ID3v1 (whose track sits in the comment field).
TMpegTag tagOf(const mpg123_id3v1* v1, const mpg123_id3v2* v2) {
    TMpegTag tag;
    if (v1 != nullptr) {
        tag.title = fieldText(v1->title, sizeof v1->title);
        tag.artist = fieldText(v1->artist, sizeof v1->artist);
        tag.album = fieldText(v1->album, sizeof v1->album);
        tag.year = fieldText(v1->year, sizeof v1->year);
        tag.comment = fieldText(v1->comment, sizeof v1->comment);
        if (v1->comment[28] == 0)
            tag.track = static_cast<unsigned char>(v1->comment[29]);
        tag.genre = v1->genre;
    }
    if (v2 != nullptr) {
        const auto prefer = [](std::string& field, const mpg123_string* text) {
            if (std::string value = stringText(text); !value.empty())
                field = std::move(value);
        };
        prefer(tag.title, v2->title);
        prefer(tag.artist, v2->artist);
        prefer(tag.album, v2->album);
        prefer(tag.year, v2->year);
        prefer(tag.comment, v2->comment);
    }
    return tag;
}

} // namespace

// One decoder: the attached file (its MPEG byte range read through our own reader, so that a
// WAVE container and a trailing header are skipped) and the libmpg123 handle decoding it.
struct MpegDecoderInstance {
    const Mpg123Api* api = nullptr;
    MpegChangeCallback callback = nullptr;
    void* user = nullptr;
    mpg123_handle* decoder = nullptr;
    int fd = -1;
    off_t dataStart = 0;  // bytes
    off_t dataLength = 0; // bytes
    off_t readAt = 0;     // bytes from dataStart
    std::string fileName;
    int channelMode = ChannelBoth;
    int trailingHeader = 0; // bytes
    bool exact = false;
    bool empty = true;
    bool done = false;
    int outputChannels = 0;
    off_t samplesPerFrame = 0;
    std::atomic<bool> abort{false};
    TMpegFileInfo info{};

    static mpg123_ssize_t readBytes(void* self, void* buffer, size_t bytes) {
        auto& instance = *static_cast<MpegDecoderInstance*>(self);
        const off_t left = instance.dataLength - instance.readAt;
        if (left <= 0)
            return 0;
        const auto wanted = static_cast<size_t>(std::min<off_t>(left, static_cast<off_t>(bytes)));
        const ssize_t got =
            pread(instance.fd, buffer, wanted, instance.dataStart + instance.readAt);
        if (got > 0)
            instance.readAt += got;
        return got;
    }

    static off_t seekBytes(void* self, off_t offset, int whence) {
        auto& instance = *static_cast<MpegDecoderInstance*>(self);
        const off_t base = whence == SEEK_SET   ? 0
                           : whence == SEEK_CUR ? instance.readAt
                                                : instance.dataLength;
        const off_t target = base + offset;
        if (target < 0 || target > instance.dataLength)
            return -1;
        instance.readAt = target;
        return target;
    }

    void detach() {
        if (decoder != nullptr) {
            api->close(decoder);
            api->destroy(decoder);
            decoder = nullptr;
        }
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        empty = true;
        done = false;
        outputChannels = 0;
        samplesPerFrame = 0;
        info = TMpegFileInfo{};
        info.version = 1;
    }

    int configure() {
        long flags = MPG123_QUIET | MPG123_GAPLESS;
        if (channelMode == ChannelLeft)
            flags |= MPG123_MONO_LEFT;
        else if (channelMode == ChannelRight)
            flags |= MPG123_MONO_RIGHT;
        else if (channelMode == ChannelDownMix)
            flags |= MPG123_MONO_MIX;
        int result = api->param(decoder, MPG123_FLAGS, flags, 0.0);
        if (result == MPG123_OK)
            result = api->param(decoder, MPG123_PREFRAMES, SeekPreframes, 0.0);
        if (result == MPG123_OK)
            result = api->formatNone(decoder);
        const long* rates = nullptr;
        size_t count = 0;
        api->rates(&rates, &count);
        const int channels = channelMode == ChannelBoth ? MPG123_MONO | MPG123_STEREO : MPG123_MONO;
        for (size_t i = 0; i < count && result == MPG123_OK; ++i)
            result = api->format(decoder, rates[i], channels, MPG123_ENC_SIGNED_16);
        return result;
    }

    int attach(const std::string& name) {
        detach();
        fileName = name;
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status {};
        if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
            detach();
            return MpegErrOpen;
        }
        if (!waveDataRange(fd, status.st_size, dataStart, dataLength)) {
            dataStart = 0;
            dataLength = status.st_size;
        }
        dataLength -= std::min<off_t>(trailingHeader, dataLength);
        readAt = 0;
        int error = MPG123_OK;
        decoder = api->create(nullptr, &error);
        if (decoder == nullptr)
            return error;
        error = configure();
        if (error == MPG123_OK)
            error = api->replaceReader(decoder, readBytes, seekBytes, nullptr);
        if (error == MPG123_OK)
            error = api->openHandle(decoder, this);
        if (error != MPG123_OK) {
            detach();
            return error;
        }
        readInfo();
        if (callback != nullptr)
            callback(user);
        return 0;
    }

    // Fills the file information; a file without a decodable frame stays empty.
    void readInfo() {
        if (exact)
            api->scan(decoder);
        long rate = 0;
        int encoding = 0;
        mpg123_frameinfo2 frame{};
        if (api->getFormat(decoder, &rate, &outputChannels, &encoding) != MPG123_OK ||
            api->info(decoder, &frame) != MPG123_OK || rate <= 0)
            return;
        const off_t frames = api->frameLength(decoder);
        const off_t samples = api->length(decoder);
        const int perFrame = api->samplesPerFrame(decoder);
        if (frames <= 0 || samples <= 0 || perFrame <= 0)
            return;
        info.version = frame.version == MPG123_1_0 ? 1 : 0;
        info.layer = frame.layer;
        info.sampleRate = static_cast<std::int32_t>(rate);
        info.mode = static_cast<std::uint8_t>(frame.mode);
        info.frames = static_cast<std::int32_t>(frames);
        info.duration = static_cast<std::int32_t>(std::llround(samples * 1000.0 / rate));
        info.frameDuration = perFrame * 1000.0 / rate;
        // A variable bit rate is shown as the file's average.
        info.bitRate =
            frame.vbr == MPG123_CBR || info.duration <= 0
                ? frame.bitrate
                : static_cast<std::int32_t>(std::llround(dataLength * 8.0 / info.duration));
        mpg123_id3v1* v1 = nullptr;
        mpg123_id3v2* v2 = nullptr;
        if (api->id3(decoder, &v1, &v2) == MPG123_OK)
            info.tag = tagOf(v1, v2);
        samplesPerFrame = perFrame;
        empty = false;
        api->seek(decoder, 0, SEEK_SET);
    }

    // Frame positions count in frames of decoded output: frame f starts at sample f times the
    // samples per frame of the output, from which the encoder's delay and padding are already
    // removed. Positions thus agree with the decoded data and the duration.
    off_t frameAt() const { return api->tell(decoder) / samplesPerFrame; }
    off_t seekTo(off_t frame) {
        done = false;
        return api->seek(decoder, frame * samplesPerFrame, SEEK_SET);
    }

    int read(char* buffer, int size) {
        if (decoder == nullptr || empty)
            return -MpegErrNoFile;
        const int frameBytes = std::max(outputChannels, 1) * 2;
        const auto wanted = static_cast<size_t>(std::max(size - size % frameBytes, 0));
        abort = false;
        size_t total = 0;
        for (int emptyReads = 0; total < wanted && !abort && emptyReads < MaxEmptyReads;) {
            size_t got = 0;
            const int result = api->read(decoder, reinterpret_cast<unsigned char*>(buffer) + total,
                                         wanted - total, &got);
            total += got;
            emptyReads = got == 0 ? emptyReads + 1 : 0;
            if (result == MPG123_DONE) {
                done = true;
                break;
            }
            if (result != MPG123_OK && result != MPG123_NEW_FORMAT)
                return total > 0 ? static_cast<int>(total) : -std::abs(result);
        }
        return static_cast<int>(total);
    }
};

namespace {

MpegHandle mpegInit(int& status, MpegChangeCallback callback, void* user) {
    const LoadedLibrary& library = decoderLibrary();
    if (!library.loaded) {
        status = MpegErrHandle;
        return nullptr;
    }
    auto* instance = new MpegDecoderInstance;
    instance->api = &library.api;
    instance->callback = callback;
    instance->user = user;
    instance->info.version = 1;
    status = 0;
    return instance;
}

int mpegDone(MpegHandle& handle) {
    if (handle == nullptr)
        return MpegErrHandle;
    handle->detach();
    delete handle;
    handle = nullptr;
    return 0;
}

int mpegSetFileName(MpegHandle handle, const char* name) {
    if (handle == nullptr)
        return MpegErrHandle;
    return handle->attach(name != nullptr ? name : "");
}

int mpegGetEmpty(MpegHandle handle) {
    return handle == nullptr || handle->empty ? 1 : 0;
}

int mpegGetFileInfo(MpegHandle handle, TMpegFileInfo& info) {
    if (handle == nullptr)
        return MpegErrHandle;
    info = handle->info;
    return 0;
}

// Options that decide the decoded stream apply to the attached file at once: it is attached
// again with them, at the frame it was at.
int reattach(MpegHandle handle) {
    if (handle->decoder == nullptr)
        return 0;
    const off_t frame = handle->empty ? 0 : std::max<off_t>(handle->frameAt(), 0);
    const int result = handle->attach(handle->fileName);
    if (result == 0 && !handle->empty)
        handle->seekTo(frame);
    return result;
}

int mpegSetChannelMode(MpegHandle handle, int mode) {
    if (handle == nullptr || mode < ChannelLeft || mode > ChannelDownMix)
        return MpegErrHandle;
    handle->channelMode = mode;
    return reattach(handle);
}

int mpegGetChannelMode(MpegHandle handle, int& mode) {
    if (handle == nullptr)
        return MpegErrHandle;
    mode = handle->channelMode;
    return 0;
}

int mpegSetTrailingHeader(MpegHandle handle, int bytes) {
    if (handle == nullptr)
        return MpegErrHandle;
    handle->trailingHeader = std::max(bytes, 0);
    return reattach(handle);
}

int mpegSetExactPosition(MpegHandle handle, int exact) {
    if (handle == nullptr)
        return MpegErrHandle;
    handle->exact = exact != 0;
    return 0;
}

int mpegOpenFile(MpegHandle handle) {
    if (handle == nullptr)
        return MpegErrHandle;
    return handle->empty ? MpegErrNoData : 0;
}

int mpegCloseFile(MpegHandle handle) {
    return handle == nullptr ? MpegErrHandle : 0;
}

int mpegSetPosition(MpegHandle handle, int frame) {
    if (handle == nullptr)
        return MpegErrHandle;
    if (handle->empty)
        return MpegErrNoData;
    const off_t result = handle->seekTo(std::max(frame, 0));
    return result < 0 ? static_cast<int>(-result) : 0;
}

int mpegResetFile(MpegHandle handle) {
    return mpegSetPosition(handle, 0);
}

int mpegClear(MpegHandle handle) {
    if (handle == nullptr)
        return MpegErrHandle;
    handle->detach();
    handle->fileName.clear();
    return 0;
}

int mpegGetPosition(MpegHandle handle) {
    if (handle == nullptr || handle->empty)
        return -1;
    return static_cast<int>(handle->frameAt());
}

int mpegReadDataBytes(MpegHandle handle, char* buffer, int size) {
    return handle == nullptr ? -MpegErrHandle : handle->read(buffer, size);
}

int mpegGetDone(MpegHandle handle) {
    return handle != nullptr && handle->done ? 1 : 0;
}

int mpegAbortReadData(MpegHandle handle) {
    if (handle == nullptr)
        return MpegErrHandle;
    handle->abort = true;
    return 0;
}

int mpegGetErrorText(int error, char* buffer, int size) {
    if (buffer == nullptr || size <= 0)
        return MpegErrHandle;
    std::string text;
    switch (error) {
    case MpegErrOpen:
        text = "Unable to open the file";
        break;
    case MpegErrNoFile:
        text = "No file attached";
        break;
    case MpegErrNoData:
        text = "No MPEG audio data in the file";
        break;
    case MpegErrHandle:
        text = "Invalid decoder instance";
        break;
    default: {
        const LoadedLibrary& library = decoderLibrary();
        text = library.loaded ? library.api.errorText(error) : "Decoder error";
    }
    }
    const std::size_t bytes = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), bytes);
    buffer[bytes] = '\0';
    return 0;
}

int mpegVersion() {
    return FunctionSetVersion;
}

const MpegDecoderFunctions functionSet = {
    mpegVersion,          mpegInit,           mpegDone,
    mpegSetFileName,      mpegGetEmpty,       mpegGetFileInfo,
    mpegSetChannelMode,   mpegGetChannelMode, mpegSetTrailingHeader,
    mpegSetExactPosition, mpegOpenFile,       mpegCloseFile,
    mpegResetFile,        mpegClear,          mpegSetPosition,
    mpegGetPosition,      mpegReadDataBytes,  mpegGetDone,
    mpegAbortReadData,    mpegGetErrorText,
};

} // namespace

std::string MpegDecoderLibraryName() {
    return decoderLibrary().name;
}

void SetMpegDecoderLibraryName(const std::string& name) {
    UnloadMpegDecoder();
    decoderLibrary().name = name;
}

const MpegDecoderFunctions* LoadMpegDecoder() {
    LoadedLibrary& library = decoderLibrary();
    if (library.loaded)
        return &functionSet;
    if (!library.library.load(library.name)) {
        ApplicationMessageBox("Unable to load " + library.name, "Error");
        return nullptr;
    }
    if (!library.api.resolve(library.library) || functionSet.mpeg_Version() < MinMpegVersion) {
        library.library.unload();
        ApplicationMessageBox("Invalid Mpeg Decoder DLL version", "Error");
        return nullptr;
    }
    library.api.init();
    library.loaded = true;
    return &functionSet;
}

const MpegDecoderFunctions* LoadedMpegDecoder() {
    return decoderLibrary().loaded ? &functionSet : nullptr;
}

void UnloadMpegDecoder() {
    LoadedLibrary& library = decoderLibrary();
    library.library.unload();
    library.loaded = false;
}

} // namespace vantrel
