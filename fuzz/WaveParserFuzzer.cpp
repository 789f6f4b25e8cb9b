// Feeds arbitrary bytes to the WAVE parser as a file. What parses must also open, seek and read
// to the end of its region without leaving the file, and survive a rewrite: a copy of its format
// and lists written to a new file must parse again with the same format.
#include "FuzzRequire.h"
#include "MMWaveIO.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace vantrel;

const std::string& scratchName(const char* suffix) {
    static const std::string base = "/tmp/vantrel-fuzz-" + std::to_string(::getpid());
    static std::string names[2] = {base + "-in.wav", base + "-out.wav"};
    return names[suffix[0] == 'i' ? 0 : 1];
}

void readThrough(PWaveIOInfo info) {
    require(OpenWaveIO(info) == 0);
    std::vector<char> buffer(4096);
    std::int64_t total = 0;
    for (std::int32_t got; (got = ReadWaveIO(info, buffer.data(), 4096)) > 0;)
        total += got;
    require(total <= info->dataSize);
    require(SeekWaveIO(info, static_cast<std::int32_t>(info->totalSamples / 2)) == 0);
    ReadWaveIO(info, buffer.data(), 4096);
    require(CloseWaveIO(info) == 0);
}

void rewrite(PWaveIOInfo info) {
    PWaveIOInfo copy = nullptr;
    require(NewWaveInfo(copy, info->waveFormat.get()) == 0); // what parses is a usable format
    require(CopyWaveInfoLists(copy, info) == 0);
    require(CreateWaveFile(copy, scratchName("out")) == 0);
    const std::vector<char> block(info->waveFormat->nBlockAlign, 0x11);
    require(WriteWaveIO(copy, block.data(), static_cast<std::int32_t>(block.size())) > 0);
    require(CloseWaveIO(copy) == 0);
    FreeWaveInfo(copy);

    PWaveIOInfo again = nullptr;
    require(ReadWaveInfo(again, scratchName("out"), FormWave, WaveIOModeFile) == 0);
    require(again->waveFormat->wFormatTag == info->waveFormat->wFormatTag);
    require(again->waveFormat->nChannels == info->waveFormat->nChannels);
    require(again->dataSize == info->waveFormat->nBlockAlign);
    FreeWaveInfo(again);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(scratchName("in").c_str(), "wb");
    if (file == nullptr)
        return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    PWaveIOInfo info = nullptr;
    if (ReadWaveInfo(info, scratchName("in"), FormWave, WaveIOModeFile) == 0) {
        require(info->dataOffset + std::uint64_t{info->dataSize} <= size);
        readThrough(info);
        rewrite(info);
        FreeWaveInfo(info);
    }
    return 0;
}
