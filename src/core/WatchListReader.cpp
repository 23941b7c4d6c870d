#include "core/WatchListReader.h"

#include "core/FileIo.h"
#include "core/IniFile.h"
#include "core/Numeric.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

namespace {

constexpr const char* kNone = "NONE";
constexpr std::string_view kRecordSection = "CheckFiles";

bool isAscii(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The file, open, read a piece at a time as often as asked.
class FileText {
public:
    ~FileText() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    // Missing: true with missing set. Not a regular file, or no access:
    // false with error set.
    bool open(const std::string& path, bool& missing, std::string& error) {
        path_ = path;
        missing = false;
        // Without waiting: a named pipe under the name must not hold us up.
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) {
            if (errno == ENOENT || errno == ENOTDIR) {
                missing = true;
                return true;
            }
            error = path + ": " + errnoText(errno);
            return false;
        }
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            const int err = errno;
            error = path + ": " +
                    (S_ISDIR(st.st_mode) ? errnoText(EISDIR)
                     : st.st_mode != 0   ? std::string("not a regular file")
                                         : errnoText(err));
            return false;
        }
        return true;
    }

    // Calls fn(line) for every line as read from the file (any of CR, LF
    // ends one; the empty line between CR and LF means nothing to a reader
    // of INI lines). False with error set when a read fails.
    template <class Fn> bool forEachLine(std::string& error, Fn fn) {
        constexpr size_t kPiece = 1 << 20;
        std::string buf;
        off_t at = 0;
        for (;;) {
            const size_t kept = buf.size();
            buf.resize(kept + kPiece);
            ssize_t n = ::pread(fd_, buf.data() + kept, kPiece, at);
            if (n < 0 && errno == EINTR) {
                buf.resize(kept);
                continue;
            }
            if (n < 0) {
                error = path_ + ": " + errnoText(errno);
                return false;
            }
            buf.resize(kept + static_cast<size_t>(n));
            at += n;
            const bool end = n == 0;
            std::string_view all(buf);
            size_t pos = 0;
            for (;;) {
                const size_t brk = all.find_first_of("\r\n", pos);
                if (brk == std::string_view::npos)
                    break;
                fn(all.substr(pos, brk - pos));
                pos = brk + 1;
            }
            if (end) {
                if (pos < all.size())
                    fn(all.substr(pos));
                return true;
            }
            buf.erase(0, pos);
        }
    }

private:
    int fd_ = -1;
    std::string path_;
};

// A canonical decimal number (as std::to_string writes it) at the start of
// s up to the separator; the rest after it.
bool leadingNumber(std::string_view& s, size_t& value) {
    const size_t sep = s.find('_');
    if (sep == 0 || sep == std::string_view::npos || (sep > 1 && s[0] == '0'))
        return false;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + sep, value);
    if (ec != std::errc() || end != s.data() + sep)
        return false;
    s.remove_prefix(sep + 1);
    return true;
}

// An item key "n_m_path" or "n_m_date" (the suffix in any case).
struct ItemKey {
    size_t entry = 0, item = 0;
    bool date = false;
};
bool itemKey(std::string_view key, ItemKey& out) {
    if (!leadingNumber(key, out.entry) || !leadingNumber(key, out.item))
        return false;
    if (IniFile::sameName(key, "path"))
        out.date = false;
    else if (IniFile::sameName(key, "date"))
        out.date = true;
    else
        return false;
    return true;
}

// The entries of the four small sections, from an INI holding them.
std::vector<WatchEntry> readEntries(const IniFile& list, long& unreached) {
    // Paths are read whole: Linux allows paths far longer than the value
    // limit, and a recorded path cut there would never be found again.
    std::vector<WatchEntry> entries;
    for (int n = 0;; ++n) {
        std::string v = list.get("CheckFolders", std::to_string(n), kNone, IniFile::kWholeValue);
        if (v == kNone)
            break;
        WatchEntry e;
        e.CheckFolder = std::move(v);
        entries.push_back(std::move(e));
    }
    for (size_t n = 0; n < entries.size(); ++n) {
        std::string v = list.get("SendMailTo", std::to_string(n), kNone);
        entries[n].SendMailTo = v == kNone ? "" : v;
    }
    for (size_t n = 0; n < entries.size(); ++n) {
        std::string v = list.get("FileChkMode", std::to_string(n), kNone);
        entries[n].FileChkMode =
            v == kNone ? 0 : static_cast<std::int32_t>(static_cast<std::int64_t>(numericValue(v)));
    }
    for (size_t n = 0; n < entries.size(); ++n) {
        std::string v = list.get("MailBdLines", std::to_string(n), kNone);
        entries[n].MailBdLines = v == kNone ? "" : v;
    }
    unreached = -1;
    for (const std::string& key : list.keys("CheckFolders")) {
        if (key.empty() || key.size() > 9 ||
            key.find_first_not_of("0123456789") != std::string::npos ||
            (key.size() > 1 && key[0] == '0'))
            continue;
        const long k = std::stol(key);
        if (k >= static_cast<long>(entries.size()) && (unreached < 0 || k < unreached) &&
            list.get("CheckFolders", key, kNone) != kNone)
            unreached = k;
    }
    return entries;
}

// The records by key lookups in a whole parsed file: for files whose
// record lines are not in the order written here.
void readRecordsIndexed(const IniFile& list, std::vector<WatchEntry>& entries) {
    for (size_t n = 0; n < entries.size(); ++n) {
        std::string prefix = std::to_string(n) + "_";
        CheckFileList::Builder record;
        for (size_t m = 0;; ++m) {
            std::string key = prefix + std::to_string(m);
            std::string path = list.get("CheckFiles", key + "_path", kNone, IniFile::kWholeValue);
            std::string date = list.get("CheckFiles", key + "_date", kNone);
            if (path == kNone || date == kNone)
                break;
            record.emplace_back(path, date);
        }
        entries[n].CheckFiles = record.build();
    }
}

// The records as the file's lines come, when they come in the order the
// lookups n_0_path, n_0_date, n_1_path, ... ask for them (later copies of a
// key read already are passed over: the first one counts). Anything else
// gives false, and the file is read by lookups instead.
class RecordStream {
public:
    RecordStream(std::vector<WatchEntry>& entries, size_t lines)
        : entries_(entries), closedAt_(entries.size(), kOpen), room_(lines / 2) {
        if (!entries_.empty())
            record_.reserve(room_);
    }

    bool take(std::string_view key, std::string_view value) {
        ItemKey k;
        if (!itemKey(key, k) || k.entry >= entries_.size())
            return true;      // never looked up
        if (k.entry < entry_) // the record ended: only copies of what it read
            return k.item < closedAt_[k.entry];
        if (k.entry > entry_) {
            close();
            for (++entry_; entry_ < k.entry; ++entry_)
                closedAt_[entry_] = 0;
            if (k.item != 0 || k.date)
                return false;
        }
        if (done_) // this record ended at a "NONE"
            return k.item < item_;
        if (k.item < item_ || (k.item == item_ && !k.date && wantDate_))
            return true; // a later copy of a key read already
        if (k.item != item_ || k.date != wantDate_)
            return false;
        if (!wantDate_) {
            if (value == kNone) {
                done_ = true;
                return true;
            }
            path_.assign(value);
            wantDate_ = true;
            return true;
        }
        std::string cut;
        if (value.size() > static_cast<size_t>(IniFile::kMaxValueWidth)) {
            cut = text::headByWidth(value, IniFile::kMaxValueWidth);
            value = cut;
        }
        if (value == kNone) {
            done_ = true;
            return true;
        }
        record_.emplace_back(path_, value);
        wantDate_ = false;
        ++item_;
        return true;
    }

    void finish() {
        close();
        for (++entry_; entry_ < entries_.size(); ++entry_)
            closedAt_[entry_] = 0;
    }

private:
    static constexpr size_t kOpen = std::numeric_limits<size_t>::max();

    void close() {
        if (entry_ >= entries_.size() || closedAt_[entry_] != kOpen)
            return;
        closedAt_[entry_] = item_;
        room_ -= std::min(room_, record_.size());
        entries_[entry_].CheckFiles = record_.build();
        record_ = CheckFileList::Builder();
        item_ = 0;
        wantDate_ = false;
        done_ = false;
        if (entry_ + 1 < entries_.size())
            record_.reserve(room_);
    }

    std::vector<WatchEntry>& entries_;
    std::vector<size_t> closedAt_; // items read of each ended record
    size_t room_;
    size_t entry_ = 0, item_ = 0;
    bool wantDate_ = false, done_ = false;
    std::string path_;
    CheckFileList::Builder record_;
};

} // namespace

bool readWatchList(const std::string& path, WatchListRead& out, std::string& error) {
    out = WatchListRead();
    FileText file;
    bool missing = false;
    if (!file.open(path, missing, error))
        return false;
    if (missing)
        return true;

    // First the encoding, as the whole file's bytes decide it.
    bool first = true, bom = false, nonAscii = false, valid = true;
    if (!file.forEachLine(error, [&](std::string_view line) {
            if (first && line.substr(0, 3) == "\xEF\xBB\xBF")
                bom = true;
            first = false;
            if (isAscii(line))
                return;
            nonAscii = true;
            if (valid && !text::isValidUtf8(line))
                valid = false;
        }))
        return false;
    out.encoding = bom                 ? text::FileEncoding::Utf8Bom
                   : nonAscii && valid ? text::FileEncoding::Utf8
                                       : text::FileEncoding::Cp932;
    const bool cp932 = out.encoding == text::FileEncoding::Cp932;
    std::string decoded;
    auto decode = [&](std::string_view line) -> std::string_view {
        if (!cp932 || isAscii(line))
            return line;
        decoded = text::fromCp932(line);
        return decoded;
    };

    // Then everything but the records, which is small, as an INI; and how
    // many record lines there are.
    std::string rest;
    size_t recordLines = 0;
    bool inRecords = false;
    first = true;
    auto lineOf = [&](std::string_view raw) {
        if (first && bom)
            raw.remove_prefix(3);
        first = false;
        return decode(raw);
    };
    if (!file.forEachLine(error, [&](std::string_view raw) {
            const std::string_view line = lineOf(raw);
            std::string_view name;
            if (IniFile::headerName(line, name))
                inRecords = IniFile::sameName(name, kRecordSection);
            else if (inRecords) {
                recordLines += !line.empty();
                return;
            }
            if (line.empty())
                return;
            rest += line;
            rest += '\n';
        }))
        return false;
    out.list = readEntries(IniFile::parseOwned(std::move(rest)), out.unreached);
    if (out.list.empty())
        return true;

    // Then the records, line by line.
    RecordStream records(out.list, recordLines);
    bool inOrder = true;
    inRecords = false;
    first = true;
    if (!file.forEachLine(error, [&](std::string_view raw) {
            if (!inOrder)
                return;
            const std::string_view line = lineOf(raw);
            std::string_view name, key, value;
            if (IniFile::headerName(line, name))
                inRecords = IniFile::sameName(name, kRecordSection);
            else if (inRecords && IniFile::keyLine(line, key, value))
                inOrder = records.take(key, value);
        }))
        return false;
    if (inOrder) {
        records.finish();
        return true;
    }
    // Out of order (a hand edit): the whole file parsed, looked up by key.
    IniFile whole;
    if (!whole.load(path, error))
        return false;
    for (WatchEntry& e : out.list)
        e.CheckFiles.clear();
    readRecordsIndexed(whole, out.list);
    return true;
}

} // namespace kestrova
