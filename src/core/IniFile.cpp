#include "core/IniFile.h"

#include "core/FileIo.h"
#include "core/Text.h"

#include <algorithm>
#include <climits>
#include <cstdint>

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

namespace {

// FNV-1a over ASCII-lower-cased bytes, so the hash ignores case as the
// lookups do.
constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
std::uint64_t hashLower(std::uint64_t h, std::string_view s) {
    for (char c : s) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 'A' && u <= 'Z')
            u = static_cast<unsigned char>(u + ('a' - 'A'));
        h = (h ^ u) * 0x100000001b3ULL;
    }
    return h;
}
std::uint64_t sectionHash(std::string_view section) {
    return hashLower(hashLower(kFnvOffset, section), "\n");
}

bool equalLower(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x + ('a' - 'A'));
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y + ('a' - 'A'));
        if (x != y)
            return false;
    }
    return true;
}

} // namespace

bool IniFile::headerName(std::string_view line, std::string_view& name) {
    return sectionName(line, name);
}

bool IniFile::keyLine(std::string_view line, std::string_view& key, std::string_view& value) {
    if (!keyValue(line, key, value))
        return false;
    value = unquote(value);
    return true;
}

bool IniFile::sameName(std::string_view a, std::string_view b) {
    return equalLower(a, b);
}

std::string_view IniFile::line(size_t i) const {
    const Line& l = lines_[i];
    if (l.owned >= 0)
        return owned_[static_cast<size_t>(l.owned)];
    return std::string_view(text_).substr(l.pos, l.len);
}

void IniFile::addLine(std::string_view s) {
    owned_.emplace_back(s);
    Line l;
    l.owned = static_cast<std::int32_t>(owned_.size() - 1);
    l.added = true;
    lines_.push_back(l);
}

namespace {

// Calls fn(pos, len) for every line of t; any of CR LF, LF or CR ends one.
template <typename Fn> void forEachLineSpan(std::string_view t, Fn fn) {
    size_t pos = 0;
    while (pos < t.size()) {
        size_t end = pos;
        while (end < t.size() && t[end] != '\n' && t[end] != '\r')
            ++end;
        // A line longer than 4 GiB is kept cut; no INI value is read that far.
        fn(pos, static_cast<std::uint32_t>(std::min<size_t>(end - pos, UINT32_MAX)));
        pos = end + 1;
        if (end < t.size() && t[end] == '\r' && pos < t.size() && t[pos] == '\n')
            ++pos;
    }
}

} // namespace

IniFile IniFile::parse(std::string_view utf8) {
    return parseOwned(std::string(utf8));
}

IniFile IniFile::parseOwned(std::string utf8) {
    IniFile ini;
    ini.text_ = std::move(utf8);
    ini.lines_.reserve(static_cast<size_t>(std::count(ini.text_.begin(), ini.text_.end(), '\n')) +
                       1);
    forEachLineSpan(ini.text_, [&ini](size_t pos, std::uint32_t len) {
        Line l;
        l.pos = pos;
        l.len = len;
        ini.lines_.push_back(l);
    });
    ini.index();
    return ini;
}

void IniFile::index() {
    lastSection_.clear();
    lastHeader_ = -1;
    lastLine_ = -1;
    for (Line& l : lines_)
        l.firstKey = false;
    keys_.clear();
    sections_.clear();
    keys_.reserve(lines_.size());
    std::uint64_t current = 0;
    std::uint32_t header = 0;
    bool inSection = false;
    long first = -1; // the section being read, when a first occurrence
    for (size_t i = 0; i < lines_.size(); ++i) {
        const std::string_view l = line(i);
        std::string_view name;
        if (sectionName(l, name)) {
            current = sectionHash(name);
            header = static_cast<std::uint32_t>(i);
            inSection = true;
            first = -1;
            if (!findSection(name)) {
                sections_.push_back({current, header, header});
                first = static_cast<long>(sections_.size() - 1);
            }
            continue;
        }
        std::string_view key, value;
        if (!inSection || !keyValue(l, key, value))
            continue;
        if (first >= 0)
            sections_[static_cast<size_t>(first)].last = static_cast<std::uint32_t>(i);
        lines_[i].header = header;
        keys_.push_back({hashLower(current, key), static_cast<std::uint32_t>(i)});
    }
    // Twice as many slots as keys at least; a later duplicate of a section
    // and key is dropped, so the first occurrence is the one found.
    size_t size = 16;
    while (size < keys_.size() * 2)
        size *= 2;
    slots_.assign(size, 0);
    size_t kept = 0;
    for (size_t k = 0; k < keys_.size(); ++k) {
        const Key key = keys_[k];
        size_t at = static_cast<size_t>(key.hash) & (size - 1);
        bool duplicate = false;
        while (slots_[at] != 0) {
            if (sameKey(keys_[slots_[at] - 1], key)) {
                duplicate = true;
                break;
            }
            at = (at + 1) & (size - 1);
        }
        if (duplicate)
            continue;
        lines_[key.line].firstKey = true;
        keys_[kept] = key;
        slots_[at] = static_cast<std::uint32_t>(++kept);
    }
    keys_.resize(kept);
}

bool IniFile::sameKey(const Key& a, const Key& b) const {
    if (a.hash != b.hash)
        return false;
    std::string_view ka, kb, v, na, nb;
    return keyValue(line(a.line), ka, v) && keyValue(line(b.line), kb, v) && equalLower(ka, kb) &&
           sectionName(line(lines_[a.line].header), na) &&
           sectionName(line(lines_[b.line].header), nb) && equalLower(na, nb);
}

const IniFile::Section* IniFile::findSection(std::string_view section) const {
    const std::uint64_t h = sectionHash(section);
    std::string_view name;
    for (const Section& s : sections_)
        if (s.hash == h && sectionName(line(s.header), name) && equalLower(name, section))
            return &s;
    return nullptr;
}

long IniFile::find(std::string_view section, std::string_view key) const {
    if (slots_.empty())
        return -1;
    if (section != lastSection_) {
        lastSection_ = section;
        lastSectionHash_ = sectionHash(section);
        lastHeader_ = -1;
    }
    // The line after the last one found, when it is the first line of a key
    // in a section already matched, is the answer the table would give.
    for (size_t next = static_cast<size_t>(lastLine_ + 1);
         lastHeader_ >= 0 && next < lines_.size() && next <= static_cast<size_t>(lastLine_ + 2);
         ++next) {
        const Line& l = lines_[next];
        std::string_view k, v;
        if (l.firstKey && static_cast<long>(l.header) == lastHeader_ &&
            keyValue(line(next), k, v) && equalLower(k, key)) {
            lastLine_ = static_cast<long>(next);
            return lastLine_;
        }
    }
    const std::uint64_t h = hashLower(lastSectionHash_, key);
    const size_t mask = slots_.size() - 1;
    for (size_t at = static_cast<size_t>(h) & mask; slots_[at] != 0; at = (at + 1) & mask) {
        const Key& it = keys_[slots_[at] - 1];
        if (it.hash != h)
            continue;
        std::string_view name, k, v;
        if (!keyValue(line(it.line), k, v) || !equalLower(k, key))
            continue;
        const std::uint32_t header = lines_[it.line].header;
        if (static_cast<long>(header) != lastHeader_) {
            if (!sectionName(line(header), name) || !equalLower(name, section))
                continue;
            lastHeader_ = header;
        }
        lastLine_ = static_cast<long>(it.line);
        return lastLine_;
    }
    return -1;
}

size_t IniFile::lineCount(std::string_view section) const {
    const Section* s = findSection(section);
    return s ? s->last - s->header : 0;
}

std::vector<std::string> IniFile::keys(std::string_view section) const {
    std::vector<std::string> out;
    const Section* s = findSection(section);
    if (!s)
        return out;
    for (size_t i = s->header + 1; i <= s->last && i < lines_.size(); ++i) {
        std::string_view k, v;
        if (keyValue(line(i), k, v))
            out.emplace_back(k);
    }
    return out;
}

bool IniFile::load(const std::string& path, std::string& error, bool keepBytes) {
    std::string bytes;
    switch (readWholeFile(path, bytes, error)) {
    case ReadStatus::Missing:
        *this = IniFile();
        keptBytes_ = keepBytes;
        return true;
    case ReadStatus::Failed:
        return false;
    case ReadStatus::Ok:
        break;
    }
    text::FileEncoding encoding = text::FileEncoding::Cp932;
    std::string decoded = text::decodeFile(bytes, &encoding);
    // A UTF-8 file is kept as decoded: its bytes are the text.
    if (!keepBytes || encoding != text::FileEncoding::Cp932) {
        std::string().swap(bytes); // a large file is not held twice while parsed
        *this = parseOwned(std::move(decoded));
        encoding_ = encoding;
        return true;
    }
    *this = parseOwned(std::move(decoded));
    raw_ = std::move(bytes);
    // CR and LF bytes are never part of a CP932 character, so the file's
    // lines are the text's lines, one for one.
    forEachLineSpan(raw_,
                    [this](size_t pos, std::uint32_t len) { rawLines_.emplace_back(pos, len); });
    keptBytes_ = rawLines_.size() == lines_.size();
    if (!keptBytes_) {
        raw_.clear();
        rawLines_.clear();
    }
    return true;
}

std::optional<std::string> IniFile::get(std::string_view section, std::string_view key,
                                        int maxWidth) const {
    const long at = find(section, key);
    if (at < 0)
        return std::nullopt;
    std::string_view k, v;
    keyValue(line(static_cast<size_t>(at)), k, v);
    v = unquote(v);
    if (maxWidth < 0 || v.size() <= static_cast<size_t>(maxWidth))
        return std::string(v);
    return text::headByWidth(v, maxWidth);
}

std::string IniFile::get(std::string_view section, std::string_view key, std::string_view fallback,
                         int maxWidth) const {
    auto v = get(section, key, maxWidth);
    return v ? *v : std::string(fallback);
}

void IniFile::appendQuoted(std::string& out, std::string_view value) {
    bool edgeBlank = !value.empty() && (value.front() == ' ' || value.front() == '\t' ||
                                        value.back() == ' ' || value.back() == '\t');
    bool quoted = value.size() >= 2 && value.front() == '"' && value.back() == '"';
    if (edgeBlank || quoted)
        out += '"';
    out += value;
    if (edgeBlank || quoted)
        out += '"';
}

std::string IniFile::quoteValue(std::string_view value) {
    std::string out;
    out.reserve(value.size() + 2);
    appendQuoted(out, value);
    return out;
}

bool IniFile::set(std::string_view section, std::string_view key, std::string_view value) {
    if (value.find_first_of("\r\n") != std::string_view::npos ||
        key.find_first_of("\r\n=") != std::string_view::npos ||
        section.find_first_of("\r\n]") != std::string_view::npos)
        return false;
    std::string text = std::string(key) + "=" + quoteValue(value);
    const long at = find(section, key);
    if (at >= 0) {
        std::string_view k, v;
        if (keyValue(line(static_cast<size_t>(at)), k, v) && unquote(v) == value)
            return true; // unchanged: the line keeps its bytes

        Line& l = lines_[static_cast<size_t>(at)];
        if (l.owned >= 0) {
            owned_[static_cast<size_t>(l.owned)] = std::move(text);
        } else {
            owned_.push_back(std::move(text));
            l.owned = static_cast<std::int32_t>(owned_.size() - 1);
        }
        return true;
    }
    if (const Section* sec = findSection(section)) {
        owned_.push_back(std::move(text));
        Line l;
        l.owned = static_cast<std::int32_t>(owned_.size() - 1);
        l.added = true;
        lines_.insert(lines_.begin() + static_cast<long>(sec->last) + 1, l);
    } else {
        std::string header(1, '[');
        header += section;
        header += ']';
        addLine(header);
        addLine(text);
    }
    index();
    return true;
}

std::string IniFile::text() const {
    std::string out;
    size_t total = 0;
    for (size_t i = 0; i < lines_.size(); ++i)
        total += line(i).size() + 2;
    out.reserve(total);
    for (size_t i = 0; i < lines_.size(); ++i) {
        out += line(i);
        out += "\r\n";
    }
    return out;
}

std::string IniFile::bytes() const {
    if (keptBytes_) {
        // Lines of ours in CP932, the others as read. Only a line of ours
        // that CP932 cannot hold makes the whole file UTF-8.
        std::string out, encoded;
        out.reserve(raw_.size() + 256);
        size_t read = 0; // place among the lines read
        bool fits = true;
        for (size_t i = 0; i < lines_.size() && fits; ++i) {
            const Line& l = lines_[i];
            const size_t at = l.added ? SIZE_MAX : read++;
            if (l.owned < 0 && at < rawLines_.size()) {
                out.append(raw_, rawLines_[at].first, rawLines_[at].second);
            } else if (text::toCp932(line(i), encoded)) {
                out += encoded;
            } else {
                fits = false;
            }
            out += "\r\n";
        }
        if (fits)
            return out;
    }
    return text::encodeFile(text(), encoding_ == text::FileEncoding::Utf8);
}

bool IniFile::save(const std::string& path, mode_t mode, std::string& error) const {
    return writeFileIfChanged(path, bytes(), mode, error);
}

} // namespace kestrova
