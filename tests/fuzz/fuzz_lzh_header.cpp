// Entry names and headers of the LZH writer: a stored path (arbitrary bytes,
// as a file name on disk may be) -> encodeName -> buildLevel2Header; the
// header is read back as an archive reader would, and the name it gives
// must be the path (only 0xFF bytes, the separator, may become '_').
#include "check.h"
#include "crc16.h"
#include "lzh_header.h"
#include "name_encoding.h"

#include <iconv.h>
#include <stdexcept>
#include <string>

namespace {

unsigned get16(const std::vector<std::uint8_t>& v, size_t at) {
    return v[at] | (v[at + 1] << 8);
}

bool fromCp932(const std::string& in, std::string& out) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    FUZZ_CHECK(cd != reinterpret_cast<iconv_t>(-1), "no CP932 converter");
    out.assign(in.size() * 3 + 8, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return r != static_cast<size_t>(-1) && srcLeft == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const bool isFolder = data[0] & 1;
    const std::string path(reinterpret_cast<const char*>(data + 1), size - 1);
    // The walk hands over '/'-separated relative paths without empty, "." or
    // ".." components.
    size_t start = 0;
    while (true) {
        const size_t slash = path.find('/', start);
        const std::string part =
            path.substr(start, slash == std::string::npos ? slash : slash - start);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos)
            return 0;
        if (slash == std::string::npos)
            break;
        start = slash + 1;
    }

    const unlha::StoredName name = unlha::encodeName(path, isFolder);
    unlha::EntryHeader h;
    h.directory = name.directory;
    h.fileName = name.fileName;
    h.codePage = name.codePage;
    h.method = isFolder ? "-lhd-" : (data[0] & 2) ? "-lh0-" : "-lh5-";
    h.compressedSize = static_cast<std::uint32_t>(size * 2654435761u);
    h.originalSize = static_cast<std::uint32_t>(size);
    h.crc = static_cast<std::uint16_t>(data[0] * 257);
    h.unixMode = isFolder ? 040755 : 0100644;
    h.dosAttributes = isFolder ? 0x10 : 0x20;
    std::vector<std::uint8_t> v;
    try {
        v = unlha::buildLevel2Header(h);
    } catch (const std::length_error&) {
        FUZZ_CHECK(path.size() > 60000, "length_error for a %zu-byte path", path.size());
        return 0;
    }

    // Fixed part.
    FUZZ_CHECK(v.size() >= 26 && get16(v, 0) == v.size(), "header size field");
    FUZZ_CHECK(v[0] != 0, "first byte reads as the end of the archive");
    FUZZ_CHECK(std::string(v.begin() + 2, v.begin() + 7) == h.method, "method");
    FUZZ_CHECK(v[20] == 2, "level");
    // Extended headers, each within the header.
    size_t at = 24;
    std::string fileName, directory;
    bool sawName = false;
    size_t crcAt = 0;
    std::uint32_t codePage = 0;
    while (true) {
        FUZZ_CHECK(at + 2 <= v.size(), "extended header size outside");
        const unsigned next = get16(v, at);
        if (next == 0)
            break;
        FUZZ_CHECK(next >= 3 && at + 2 + next <= v.size(), "extended header outside");
        const std::uint8_t type = v[at + 2];
        const std::string body(v.begin() + static_cast<long>(at) + 3,
                               v.begin() + static_cast<long>(at) + next);
        if (type == 0x00)
            crcAt = at + 3;
        if (type == 0x01) {
            fileName = body;
            sawName = true;
        }
        if (type == 0x02)
            directory = body;
        if (type == 0x46 && body.size() == 4)
            codePage = static_cast<std::uint8_t>(body[0]) | static_cast<std::uint8_t>(body[1]) << 8;
        at += next;
    }
    FUZZ_CHECK(v.size() - (at + 2) <= 1, "bytes after the last extended header");
    FUZZ_CHECK(crcAt != 0, "no header CRC");
    std::vector<std::uint8_t> zeroed = v;
    zeroed[crcAt] = zeroed[crcAt + 1] = 0;
    FUZZ_CHECK(unlha::crc16Update(0, zeroed.data(), zeroed.size()) == get16(v, crcAt),
               "header CRC");
    FUZZ_CHECK(isFolder || sawName, "file without a name header");
    FUZZ_CHECK(codePage == 932 || codePage == 65001, "code page %u", codePage);

    // The name a reader gets back.
    std::string stored = directory;
    for (char& c : stored)
        if (static_cast<unsigned char>(c) == 0xFF)
            c = '/';
    stored += fileName;
    if (isFolder && !stored.empty() && stored.back() == '/')
        stored.pop_back();
    std::string expected = path;
    for (char& c : expected)
        if (static_cast<unsigned char>(c) == 0xFF)
            c = '_';
    std::string restored = stored;
    if (codePage == 932)
        FUZZ_CHECK(fromCp932(stored, restored), "stored CP932 name does not decode");
    FUZZ_CHECK(restored == expected, "name changed: \"%s\" stored as \"%s\"", expected.c_str(),
               restored.c_str());
    return 0;
}
