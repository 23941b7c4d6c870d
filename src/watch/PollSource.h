// ScanMode "poll": every entry watched in this run is scanned in full at
// every pass; nothing is kept between passes.
#pragma once

#include "watch/ChangeSource.h"

namespace kestrova {

class PollSource : public ChangeSource {
public:
    void plan(App& app, const std::vector<WatchEntry>& list, ScanRequest& request) override;
    void scanned(App& app, const std::vector<WatchEntry>& list, const ScanResult& result) override;
};

} // namespace kestrova
