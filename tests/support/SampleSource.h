// A source at the head of a chain that answers every pull with the same 16-bit samples, for
// tests of components on the pull path.
#pragma once

#include "MMDSPObj.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace vantrel::test {

class SampleSource : public TMMDSPComponent {
public:
    // `data` is not copied: it must outlive the source.
    explicit SampleSource(const std::vector<std::int16_t>& data) : data_(data) {
        publishLinks(false, true);
    }
    void BufferLoad(PWaveHdr buffer, bool& more) override {
        std::memcpy(buffer->wh.lpData, data_.data(), data_.size() * 2);
        buffer->wh.dwBytesRecorded = static_cast<std::uint32_t>(data_.size() * 2);
        more = true;
    }

private:
    const std::vector<std::int16_t>& data_;
};

} // namespace vantrel::test
