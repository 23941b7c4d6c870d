// The commands that set Kestrova up and run it from a shell, without any
// window: config, watch, password, test-mail and check. Each takes the
// prepared App of a run without windows and its own arguments, and returns
// the exit status: 0 done, 1 failed, 2 a usage or settings error.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestrova {

struct App;
struct StartOptions;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Builds the event loop and the App for the command of options and runs
// it.
int runCommand(const StartOptions& options, int argc, char** argv);

int configCommand(App& app, const std::vector<std::string>& args);
int watchCommand(App& app, const std::vector<std::string>& args);
int passwordCommand(App& app, const std::vector<std::string>& args);
int testMailCommand(App& app, const std::vector<std::string>& args);
int checkCommand(App& app, const std::vector<std::string>& args);

// A line on standard error ("kestrova: " in front), and a usage error.
void tell(const std::string& line);
int usageError(const std::string& sentence);

// The windows' pattern for an edit: reload both files, change memory, write
// both back. It runs under the program folder's lock, so no pass of any run
// on the folder commits between the reload and the write. change returns
// an exit status; nothing is written unless it is kExitOk.
int editFiles(App& app, const std::function<int(App&)>& change);

} // namespace kestrova
