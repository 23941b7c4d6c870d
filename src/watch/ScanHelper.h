// Scans of entries on file systems that may stop answering (network and
// user-space ones). A call blocked on such a file system cannot be ended,
// not even by SIGKILL, and keeps its whole process from going away; so
// these calls run in helper processes, one per file system, which a pass
// waits for only so long and which a stop leaves behind.
#pragma once

#include "core/Settings.h"

#include <chrono>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace kestrova {

struct App;

// The word that starts the program as a scan helper (never a user's).
inline constexpr const char* kScanHelperWord = "--scan-helper";

// The helper's side: answers requests on standard input, on standard
// output, until its input closes. Returns the exit status.
int runScanHelper();

class HelperScans {
public:
    // executable: the program to start with kScanHelperWord.
    explicit HelperScans(std::string executable);
    ~HelperScans();
    HelperScans(const HelperScans&) = delete;
    HelperScans& operator=(const HelperScans&) = delete;

    // One entry of a pass's list (its index) on the file system mounted at
    // mount.
    struct Job {
        std::size_t index;
        std::string mount;
    };

    // Scans the entries of list that jobs name, like scanWatchList: the
    // change list of each goes to updateLists[index]; a changed record
    // replaces list[index].CheckFiles, the one before going to
    // replaced[index]. An entry whose file system does not answer within
    // limit is left as it was (warned once) and tried again at a later pass
    // once the file system answered. Returns false when a stop was asked
    // for while waiting.
    bool scan(App& app, std::vector<WatchEntry>& list, const std::vector<Job>& jobs,
              std::vector<std::string>& updateLists,
              std::vector<std::optional<CheckFileList>>& replaced, std::chrono::milliseconds limit);

    // Copies path (a file, or a folder ending in "/": its files, and its
    // subfolders when asked) into the folder into, through the helper of
    // mount, keeping names and times. Returns the copy's path ("/" ended
    // for a folder), "" when there is nothing to copy (gone, or failed:
    // logged), or nothing when the file system did not answer in time
    // (warned once).
    std::optional<std::string> stage(App& app, const std::string& mount, const std::string& path,
                                     bool subfolders, const std::string& into,
                                     std::chrono::milliseconds limit);

    // How many entries the last scan left out.
    int leftOut = 0;

private:
    struct Helper {
        std::string mount;
        pid_t pid = -1;
        int toChild = -1;
        int fromChild = -1;
        std::string received;
        int owed = 0;                     // requests sent and not yet answered
        std::set<std::string> unanswered; // paths warned as not answering
    };

    Helper* helperFor(App& app, const std::string& mount);
    bool start(App& app, Helper& h);
    void stop(Helper& h);
    bool send(Helper& h, const std::string& payload);
    // Takes whatever the helper has written; false when it went away.
    bool receive(Helper& h);
    // One whole answer from what was received, or nothing yet.
    std::optional<std::string> takeAnswer(Helper& h);
    // Answers owed from an earlier pass: taken and dropped. True when none
    // is owed any more (the file system answers again: said once).
    bool catchUp(App& app, Helper& h);
    void notAnswering(App& app, Helper& h, const std::string& path);

    std::string executable_;
    std::deque<Helper> helpers_; // a deque: adding one moves none of the others
};

} // namespace kestrova
