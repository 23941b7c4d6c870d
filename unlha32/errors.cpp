#include "errors.h"

#include <system_error>

namespace unlha {

std::string describe(const std::string& what, const std::string& path, int err) {
    std::string s = what + ": " + path;
    if (err != 0)
        s += " (" + std::generic_category().message(err) + ")";
    return s;
}

} // namespace unlha
