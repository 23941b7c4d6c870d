#include "watch/PollSource.h"

namespace kestrova {

void PollSource::plan(App&, const std::vector<WatchEntry>&, ScanRequest&) {
    // Every entry it may look at, whole, untraced.
}

void PollSource::scanned(App&, const std::vector<WatchEntry>&, const ScanResult&) {}

} // namespace kestrova
