#include "watch/ChangeSource.h"

#include "watch/InotifySource.h"
#include "watch/PollSource.h"

namespace kestrova {

bool pollsOnly(const std::string& scanMode) {
    return scanMode == "poll";
}

std::unique_ptr<ChangeSource> makeChangeSource(const std::string& scanMode) {
    if (pollsOnly(scanMode))
        return std::make_unique<PollSource>();
    return std::make_unique<InotifySource>();
}

} // namespace kestrova
