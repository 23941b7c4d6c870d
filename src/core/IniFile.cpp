#include "core/IniFile.h"

#include "core/FileIo.h"
#include "core/Text.h"

namespace kestrova {

namespace {

std::string_view trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
        --e;
    return s.substr(b, e - b);
}

bool sectionName(std::string_view line, std::string_view& name) {
    std::string_view t = trim(line);
    if (t.size() < 2 || t.front() != '[')
        return false;
    size_t close = t.find(']');
    if (close == std::string_view::npos)
        return false;
    name = trim(t.substr(1, close - 1));
    return true;
}

bool keyValue(std::string_view line, std::string_view& key, std::string_view& value) {
    size_t eq = line.find('=');
    if (eq == std::string_view::npos)
        return false;
    key = trim(line.substr(0, eq));
    value = trim(line.substr(eq + 1));
    return !key.empty();
}

// A value written in double quotes reads back without them.
std::string_view unquote(std::string_view v) {
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
        return v.substr(1, v.size() - 2);
    return v;
}

} // namespace

std::string IniFile::lookupKey(std::string_view section, std::string_view key) {
    std::string k = text::asciiLower(section);
    k += '\n';
    k += text::asciiLower(key);
    return k;
}

IniFile IniFile::parse(std::string_view utf8) {
    IniFile ini;
    size_t pos = 0;
    while (pos < utf8.size()) {
        size_t end = utf8.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            ini.lines_.emplace_back(utf8.substr(pos));
            break;
        }
        ini.lines_.emplace_back(utf8.substr(pos, end - pos));
        pos = end + 1;
        if (utf8[end] == '\r' && pos < utf8.size() && utf8[pos] == '\n')
            ++pos;
    }
    ini.index();
    return ini;
}

void IniFile::index() {
    keys_.clear();
    sections_.clear();
    keys_.reserve(lines_.size());
    std::string current;
    bool inSection = false;
    bool firstOccurrence = false;
    for (size_t i = 0; i < lines_.size(); ++i) {
        std::string_view line = lines_[i];
        std::string_view name;
        if (sectionName(line, name)) {
            current = text::asciiLower(name);
            inSection = true;
            auto [it, added] = sections_.try_emplace(current, i, i);
            firstOccurrence = added;
            continue;
        }
        std::string_view key, value;
        if (!inSection || !keyValue(line, key, value))
            continue;
        if (firstOccurrence)
            sections_[current].second = i;
        std::string k = current;
        k += '\n';
        k += text::asciiLower(key);
        keys_.try_emplace(std::move(k), i);
    }
}

bool IniFile::load(const std::string& path, std::string& error) {
    std::string bytes;
    switch (readWholeFile(path, bytes, error)) {
    case ReadStatus::Missing:
        *this = IniFile();
        return true;
    case ReadStatus::Failed:
        return false;
    case ReadStatus::Ok:
        break;
    }
    *this = parse(text::decodeFile(bytes));
    return true;
}

std::optional<std::string> IniFile::get(std::string_view section, std::string_view key) const {
    auto it = keys_.find(lookupKey(section, key));
    if (it == keys_.end())
        return std::nullopt;
    std::string_view k, v;
    keyValue(lines_[it->second], k, v);
    v = unquote(v);
    if (v.size() <= static_cast<size_t>(kMaxValueWidth))
        return std::string(v);
    return text::headByWidth(v, kMaxValueWidth);
}

std::string IniFile::get(std::string_view section, std::string_view key,
                         std::string_view fallback) const {
    auto v = get(section, key);
    return v ? *v : std::string(fallback);
}

std::string IniFile::quoteValue(std::string_view value) {
    bool edgeBlank = !value.empty() && (value.front() == ' ' || value.front() == '\t' ||
                                        value.back() == ' ' || value.back() == '\t');
    bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    if (!edgeBlank && !quoted)
        return std::string(value);
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about
    // literal + std::string.
    std::string out;
    out.reserve(value.size() + 2);
    out += '"';
    out += value;
    out += '"';
    return out;
}

bool IniFile::set(std::string_view section, std::string_view key, std::string_view value) {
    if (value.find_first_of("\r\n") != std::string_view::npos ||
        key.find_first_of("\r\n=") != std::string_view::npos ||
        section.find_first_of("\r\n]") != std::string_view::npos)
        return false;
    std::string line = std::string(key) + "=" + quoteValue(value);
    auto it = keys_.find(lookupKey(section, key));
    if (it != keys_.end()) {
        lines_[it->second] = std::move(line);
        return true;
    }
    auto sec = sections_.find(text::asciiLower(section));
    if (sec != sections_.end()) {
        lines_.insert(lines_.begin() + static_cast<long>(sec->second.second) + 1, std::move(line));
    } else {
        std::string header(1, '[');
        header += section;
        header += ']';
        lines_.push_back(std::move(header));
        lines_.push_back(std::move(line));
    }
    index();
    return true;
}

std::string IniFile::text() const {
    std::string out;
    size_t total = 0;
    for (const auto& l : lines_)
        total += l.size() + 2;
    out.reserve(total);
    for (const auto& l : lines_) {
        out += l;
        out += "\r\n";
    }
    return out;
}

bool IniFile::save(const std::string& path, mode_t mode, std::string& error) const {
    return writeFileAtomic(path, text::encodeFile(text()), mode, error);
}

} // namespace kestrova
