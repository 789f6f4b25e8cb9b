#include "ProfileFile.h"

#include "MMUtils.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

namespace vantrel {

namespace {

struct Lines {
    std::vector<std::string> text; // without line ends
    bool crlf = true;              // the file ends its lines with CR LF; new files do
};

Lines readLines(const std::string& path) {
    Lines lines;
    std::ifstream in(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (!content.empty() && content.find("\r\n") == std::string::npos &&
        content.find('\n') != std::string::npos)
        lines.crlf = false;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.text.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::string trimmed(const std::string& text) {
    const auto notBlank = [](unsigned char c) {
        return !std::isspace(c);
    };
    const auto first = std::find_if(text.begin(), text.end(), notBlank);
    const auto last = std::find_if(text.rbegin(), text.rend(), notBlank).base();
    return first < last ? std::string(first, last) : std::string();
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The section a line opens, if it is a section line.
std::optional<std::string> sectionOf(const std::string& line) {
    const std::string text = trimmed(line);
    if (text.size() < 2 || text.front() != '[')
        return std::nullopt;
    const std::size_t close = text.find(']');
    if (close == std::string::npos)
        return std::nullopt;
    return trimmed(text.substr(1, close - 1));
}

bool isKeyLine(const std::string& line, const std::string& key) {
    const std::size_t equals = line.find('=');
    return equals != std::string::npos && sameName(trimmed(line.substr(0, equals)), key);
}

// Index of the line that opens `section`, or none.
std::optional<std::size_t> findSection(const Lines& lines, const std::string& section) {
    for (std::size_t i = 0; i < lines.text.size(); ++i) {
        if (const auto name = sectionOf(lines.text[i]); name && sameName(*name, section))
            return i;
    }
    return std::nullopt;
}

// The line after the last line of the section that opens at `header`.
std::size_t sectionEnd(const Lines& lines, std::size_t header) {
    std::size_t end = header + 1;
    while (end < lines.text.size() && !sectionOf(lines.text[end]))
        ++end;
    return end;
}

std::optional<std::size_t> findKey(const Lines& lines, std::size_t header, const std::string& key) {
    const std::size_t end = sectionEnd(lines, header);
    for (std::size_t i = header + 1; i < end; ++i) {
        if (isKeyLine(lines.text[i], key))
            return i;
    }
    return std::nullopt;
}

std::string unquoted(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        return value.substr(1, value.size() - 2);
    return value;
}

std::optional<std::int32_t> parseInteger(const std::string& text) {
    std::string_view digits = text;
    const bool negative = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+'))
        digits.remove_prefix(1);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    } else if (digits.size() > 1 && digits[0] == '$') {
        digits.remove_prefix(1);
        base = 16;
    }
    std::int64_t value = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    value = negative ? -value : value;
    // Hexadecimal values may name all 32 bits, as the profile functions write them.
    if (base == 16 && value > INT32_MAX && value <= UINT32_MAX)
        value -= std::int64_t{1} << 32;
    if (value < INT32_MIN || value > INT32_MAX)
        return std::nullopt;
    return static_cast<std::int32_t>(value);
}

} // namespace

std::string ProfileFile::ReadString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue) const {
    const Lines lines = readLines(path_);
    const auto header = findSection(lines, section);
    if (!header)
        return defaultValue;
    const auto line = findKey(lines, *header, key);
    if (!line)
        return defaultValue;
    const std::string& text = lines.text[*line];
    return unquoted(trimmed(text.substr(text.find('=') + 1)));
}

std::int32_t ProfileFile::ReadInteger(const std::string& section, const std::string& key,
                                      std::int32_t defaultValue) const {
    return parseInteger(ReadString(section, key, "")).value_or(defaultValue);
}

void ProfileFile::WriteString(const std::string& section, const std::string& key,
                              const std::string& value) {
    Lines lines = readLines(path_);
    const std::string entry = key + "=" + value;
    if (const auto header = findSection(lines, section)) {
        if (const auto line = findKey(lines, *header, key)) {
            lines.text[*line] = entry;
        } else {
            // After the section's last non-blank line, so blank separators stay where they are.
            std::size_t at = sectionEnd(lines, *header);
            while (at > *header + 1 && trimmed(lines.text[at - 1]).empty())
                --at;
            lines.text.insert(lines.text.begin() + static_cast<std::ptrdiff_t>(at), entry);
        }
    } else {
        lines.text.push_back("[" + section + "]");
        lines.text.push_back(entry);
    }
    std::string content;
    for (const std::string& line : lines.text)
        content += line + (lines.crlf ? "\r\n" : "\n");
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out)
        throw EMMError("Unable to write to " + path_);
}

void ProfileFile::WriteInteger(const std::string& section, const std::string& key,
                               std::int32_t value) {
    WriteString(section, key, std::to_string(value));
}

} // namespace vantrel
