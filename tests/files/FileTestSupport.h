// Helpers of the file tests: a scratch folder per test, hand-built RIFF images, and the outside
// tools (sox, ffmpeg) that write and read files independently of our code.
#pragma once

#include "MMUtils.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vantrel::testing {

using Bytes = std::vector<char>;

// A folder of its own for each test, removed afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        std::random_device random;
        path_ = std::filesystem::temp_directory_path() /
                ("vantrel-files-" + std::to_string(random()) + std::to_string(random()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline Bytes readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint32_t u32At(const Bytes& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value =
            value << 8 | static_cast<unsigned char>(bytes.at(offset + static_cast<std::size_t>(i)));
    return value;
}

inline std::string idAt(const Bytes& bytes, std::size_t offset) {
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                       bytes.begin() + static_cast<std::ptrdiff_t>(offset + 4));
}

// Builds a RIFF image chunk by chunk; sizes are written as given, pads only when asked.
class RiffImage {
public:
    explicit RiffImage(std::uint32_t riffSize = 0, const std::string& riffId = "RIFF",
                       const std::string& form = "WAVE") {
        append(riffId);
        riffSizeAt_ = bytes_.size();
        u32(riffSize);
        append(form);
    }
    // A chunk whose header states `declared` bytes (the body's length when left out).
    RiffImage& chunk(const std::string& id, const Bytes& body, bool pad = true,
                     std::int64_t declared = -1) {
        append(id);
        u32(declared < 0 ? static_cast<std::uint32_t>(body.size())
                         : static_cast<std::uint32_t>(declared));
        bytes_.insert(bytes_.end(), body.begin(), body.end());
        if (pad && body.size() % 2 == 1)
            bytes_.push_back(0);
        return *this;
    }
    // Sets the RIFF size to the real length - 8.
    RiffImage& patchRiffSize() {
        const auto size = static_cast<std::uint32_t>(bytes_.size() - 8);
        for (int i = 0; i < 4; ++i)
            bytes_[riffSizeAt_ + static_cast<std::size_t>(i)] = static_cast<char>(size >> (8 * i));
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

private:
    void append(const std::string& text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
    void u32(std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            bytes_.push_back(static_cast<char>(value >> (8 * i)));
    }
    Bytes bytes_;
    std::size_t riffSizeAt_ = 0;
};

// The body of a "fmt " chunk: the 16 bytes of the record, plus cbSize and extra bytes for
// `extra` >= 0.
inline Bytes formatBody(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                        std::uint16_t bits, std::uint16_t blockAlign, std::uint32_t avgBytes,
                        int extra = -1) {
    TWaveFormatEx format{tag,
                         channels,
                         rate,
                         avgBytes,
                         blockAlign,
                         bits,
                         static_cast<std::uint16_t>(std::max(extra, 0))};
    const auto* raw = reinterpret_cast<const char*>(&format);
    Bytes body(raw, raw + (extra < 0 ? 16 : 18));
    body.insert(body.end(), static_cast<std::size_t>(std::max(extra, 0)), 0);
    return body;
}

inline Bytes pcmFormatBody(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits) {
    const auto blockAlign = static_cast<std::uint16_t>(channels * bits / 8);
    return formatBody(WAVE_FORMAT_PCM, channels, rate, bits, blockAlign, blockAlign * rate);
}

// Deterministic test samples: `bytes` bytes of a pattern that never repeats within a block.
inline Bytes patternBytes(std::size_t bytes, unsigned seed = 1) {
    Bytes data(bytes);
    std::minstd_rand random(seed);
    for (char& byte : data)
        byte = static_cast<char>(random() >> 7);
    return data;
}

// Float samples that every reader converts without loss: multiples of 1/1024 within +-1.
inline Bytes exactFloatBytes(std::size_t samples) {
    Bytes data(samples * sizeof(float));
    for (std::size_t i = 0; i < samples; ++i) {
        const float value = static_cast<float>(static_cast<int>(i * 37 % 2001) - 1000) / 1024.0f;
        std::memcpy(data.data() + i * sizeof(float), &value, sizeof value);
    }
    return data;
}

inline bool toolAvailable(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command; true when it exits with 0.
inline bool run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

#define VANTREL_REQUIRE_TOOL(tool)                                                                 \
    if (!::vantrel::testing::toolAvailable(tool))                                                  \
    GTEST_SKIP() << tool << " is not installed"

} // namespace vantrel::testing
