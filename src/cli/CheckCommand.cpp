// kestrova check: one pass of the watcher without windows, then the end.
#include "cli/Command.h"

#include "core/App.h"
#include "core/Startup.h"
#include "cycle/CheckCycle.h"

#include <chrono>
#include <thread>

namespace kestrova {

int checkCommand(App& app, const std::vector<std::string>& args) {
    if (!args.empty())
        return usageError("不明な指定です: " + args[0] + " (unknown word or option: " + args[0] +
                          ")");
    app.log.echoWarnings = false; // only a terminal is told, as for "b"
    announceHeadlessRun(app, "check");
    CheckCycle cycle(app);
    // The same locks as a pass of a running watcher: wait for its pass.
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    while (!cycle.tryPass()) {
        if (std::chrono::steady_clock::now() > until) {
            tell("実行中の確認が 10 分たっても終わりません。 (a running check did not end)");
            return kExitFailed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    cycle.flushPending();
    const CheckCycle::Outcome& o = cycle.lastPass;
    if (!o.completed || o.failed > 0 || o.unanswered > 0 || cycle.writePending())
        return kExitFailed;
    return kExitOk;
}

} // namespace kestrova
