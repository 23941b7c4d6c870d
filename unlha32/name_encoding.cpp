#include "name_encoding.h"

#include <iconv.h>

namespace unlha {
namespace {

// Converts in between two encodings; false when anything cannot be converted.
bool convert(const char* to, const char* from, const std::string& in, std::string& out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    out.assign(in.size() * 3 + 8, '\0');
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == static_cast<std::size_t>(-1) || srcLeft != 0)
        return false;
    out.resize(out.size() - dstLeft);
    return true;
}

// Converts one UTF-8 text to CP932; false when any character has no CP932
// form. iconv also maps characters CP932 only resembles ("£" to the
// full-width pound, "〜" to the full-width tilde): such a name would be
// extracted under another name, so it counts as having no CP932 form.
bool toCp932(const std::string& in, std::string& out) {
    std::string back;
    return convert("CP932", "UTF-8", in, out) && convert("UTF-8", "CP932", out, back) && back == in;
}

} // namespace

StoredName encodeName(const std::string& relativePath, bool isFolder) {
    StoredName name;
    std::string bytes;
    if (!toCp932(relativePath, bytes)) {
        bytes = relativePath;
        name.codePage = 65001;
    }
    // 0xFF is the separator; neither CP932 nor UTF-8 produce it, so it can
    // only come from a name that is not valid text.
    for (char& c : bytes)
        if (static_cast<unsigned char>(c) == 0xFF)
            c = '_';
    // Split at '/' (0x2F never occurs inside a CP932 double-byte character).
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = bytes.find('/', start);
        if (slash == std::string::npos)
            break;
        name.directory.append(bytes, start, slash - start);
        name.directory.push_back('\xFF');
        start = slash + 1;
    }
    if (isFolder) {
        if (start < bytes.size()) {
            name.directory.append(bytes, start, std::string::npos);
            name.directory.push_back('\xFF');
        }
    } else {
        name.fileName = bytes.substr(start);
    }
    return name;
}

} // namespace unlha
