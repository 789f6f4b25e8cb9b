// INI-style profile files ("Default.prj", "Equalizer.dat") with the semantics of the profile
// functions: "[name]" opens a section, "key=value" sets a key of it; section and key names are
// compared without regard to letter case; the first section and key of a name count. Every call
// reads the file anew, and a write rewrites it keeping every other line as it was, so files stay
// compatible line for line.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace vantrel {

class ProfileFile {
public:
    explicit ProfileFile(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }

    // The value of `key` in `section` (blanks around it removed, and one pair of enclosing
    // quotes), or `defaultValue` when the file, the section or the key is missing.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // A decimal whole number ("0x" or "$" before hexadecimal digits), or `defaultValue` when
    // the key is missing or holds anything else or a number beyond 32 bits.
    std::int32_t ReadInteger(const std::string& section, const std::string& key,
                             std::int32_t defaultValue) const;
    // Replaces the key's value in place, else appends the key to its section, else appends the
    // section at the end; creates the file when it is missing (its folder must exist). Raises
    // EMMError "Unable to write to <path>" when the file cannot be written.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);

private:
    std::string path_;
};

} // namespace vantrel
