// kestrova watch list [--json] | add PATH [options] | set N [options] | remove N
#include "cli/Command.h"

#include "core/App.h"
#include "core/Numeric.h"
#include "core/Text.h"
#include "watch/WatchListEdit.h"

#include <climits>
#include <cstdio>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

namespace {

// What the options of add and set ask for; unset fields keep the entry's.
struct EntryOptions {
    std::optional<std::string> mailTo;
    std::optional<std::int32_t> events; // the three notification bits
    std::optional<std::int32_t> bodyLines;
    bool noBody = false, attach = false, noAttach = false, lzh = false, noLzh = false,
         subfolders = false, noSubfolders = false;
};

bool parseEvents(const std::string& list, std::int32_t& bits, std::string& error) {
    bits = 0;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string w = text::trimBlanks(list.substr(start, end - start));
        if (w == "new" || w == "新規")
            bits |= NotifyNew;
        else if (w == "update" || w == "更新")
            bits |= NotifyUpdate;
        else if (w == "delete" || w == "削除")
            bits |= NotifyDelete;
        else if (!w.empty()) {
            error = "--on に指定できるのは new, update, delete です: " + w +
                    " (--on takes new, update, delete)";
            return false;
        }
        start = end + 1;
    }
    return true;
}

// Options from args[from...]; false when one cannot be used (said).
bool parseOptions(const std::vector<std::string>& args, size_t from, bool forSet, EntryOptions& o) {
    for (size_t i = from; i < args.size(); ++i) {
        std::string a = args[i];
        std::optional<std::string> inlineValue;
        if (a.rfind("--", 0) == 0 && a.find('=') != std::string::npos) {
            inlineValue = a.substr(a.find('=') + 1);
            a = a.substr(0, a.find('='));
        }
        auto value = [&](std::string& out) {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                usageError(a + " には値が必要です。 (" + a + " needs a value)");
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v, error;
        if (a == "--to") {
            if (!value(v))
                return false;
            if (text::trimBlanks(v).empty() || text::hasLineBreak(v)) {
                usageError("--to には送信先のメールアドレスを指定してください。 (--to needs "
                           "addresses)");
                return false;
            }
            if (o.mailTo && *o.mailTo == kMessageDisplay) {
                usageError("--to と --message は一緒に使えません。 (--to or --message)");
                return false;
            }
            o.mailTo = v;
        } else if (a == "--message") {
            if (o.mailTo && *o.mailTo != kMessageDisplay) {
                usageError("--to と --message は一緒に使えません。 (--to or --message)");
                return false;
            }
            o.mailTo = kMessageDisplay;
        } else if (a == "--on") {
            std::int32_t bits = 0;
            if (!value(v))
                return false;
            if (!parseEvents(v, bits, error)) {
                usageError(error);
                return false;
            }
            o.events = bits;
        } else if (a == "--body") {
            if (!value(v))
                return false;
            std::int32_t lines = 0;
            const std::string t = text::trimBlanks(v);
            if (!startsWithNumber(t) || !bodyLinesValue(numericValue(t), lines)) {
                usageError("--body には行数を指定してください (負の数は末尾から)。 (--body takes "
                           "a number of lines; negative counts from the end)");
                return false;
            }
            o.bodyLines = lines;
        } else if (a == "--attach") {
            o.attach = true;
        } else if (a == "--lzh") {
            o.lzh = true;
        } else if (a == "--subfolders") {
            o.subfolders = true;
        } else if (forSet && a == "--no-body") {
            o.noBody = true;
        } else if (forSet && a == "--no-attach") {
            o.noAttach = true;
        } else if (forSet && a == "--no-lzh") {
            o.noLzh = true;
        } else if (forSet && a == "--no-subfolders") {
            o.noSubfolders = true;
        } else {
            usageError("不明な指定です: " + args[i] + " (unknown word or option: " + args[i] + ")");
            return false;
        }
        if (inlineValue && (a == "--message" || a == "--attach" || a == "--lzh" ||
                            a == "--subfolders" || a.rfind("--no-", 0) == 0)) {
            usageError(a + " は値をとりません。 (" + a + " takes no value)");
            return false;
        }
    }
    return true;
}

// The options applied as the watch-entry dialog stores its result.
void applyOptions(WatchEntry& e, const EntryOptions& o) {
    const bool folder = e.isFolder();
    std::int32_t mode = e.FileChkMode;
    std::int32_t lines = static_cast<std::int32_t>(numericValue(e.MailBdLines));
    if (o.events)
        mode = (mode & ~(NotifyNew | NotifyUpdate | NotifyDelete)) | *o.events;
    if (o.bodyLines) {
        mode |= BodyFromFile;
        lines = *o.bodyLines;
    }
    if (o.noBody)
        mode &= ~BodyFromFile;
    if (o.noAttach)
        mode &= ~(AttachFiles | LhaArchive | IncludeSubfolders);
    if (o.noLzh)
        mode &= ~(LhaArchive | IncludeSubfolders | (folder ? std::int32_t{AttachFiles} : 0));
    if (o.noSubfolders)
        mode &= ~IncludeSubfolders;
    if (o.attach)
        mode |= AttachFiles;
    if (o.lzh)
        mode |= LhaArchive;
    // The dialog offers subfolders for folders only, and the body for files
    // only: such a choice is dropped before the options are coupled.
    if (o.subfolders && folder)
        mode |= IncludeSubfolders;
    else if (o.subfolders)
        tell("ファイルの監視ではサブフォルダ (--subfolders) は使えないので外しました。 "
             "(--subfolders applies to folders only)");
    if (folder && o.bodyLines)
        tell("フォルダの監視では本文 (--body) は使えないので外しました。 (--body applies to "
             "files only)");
    mode = coupledAttachMode(mode, folder);
    applyEntrySettings(e, o.mailTo ? *o.mailTo : e.SendMailTo, mode, lines);
}

// Every entry without a recipient shows and stores the message window, as
// the main window's rebuild of its list does.
void settleRecipients(std::vector<WatchEntry>& list) {
    for (WatchEntry& e : list)
        if (e.SendMailTo.empty())
            e.SendMailTo = kMessageDisplay;
}

std::string eventWords(std::int32_t mode) {
    std::string out;
    auto add = [&](std::int32_t bit, const char* word) {
        if (mode & bit)
            out += (out.empty() ? "" : ",") + std::string(word);
    };
    add(NotifyNew, "新規");
    add(NotifyUpdate, "更新");
    add(NotifyDelete, "削除");
    if (out.empty())
        out = "通知無";
    add(BodyFromFile, "本文");
    add(AttachFiles, "添付");
    add(LhaArchive, "LZH");
    add(IncludeSubfolders, "サブフォルダ");
    return out;
}

void jsonString(std::string& out, const std::string& s) {
    out += '"';
    size_t pos = 0;
    while (pos < s.size()) {
        const size_t at = pos;
        const char32_t cp = text::nextCodePoint(s, pos);
        if (cp == '"' || cp == '\\') {
            out += '\\';
            out += static_cast<char>(cp);
        } else if (cp < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
            out += buf;
        } else {
            out.append(s, at, pos - at);
        }
    }
    out += '"';
}

int listEntries(const App& app, bool json) {
    const std::vector<WatchEntry>& list = app.watchList;
    if (!json) {
        for (size_t n = 0; n < list.size(); ++n) {
            const WatchEntry& e = list[n];
            const std::string to = e.SendMailTo.empty() ? kMessageDisplay : e.SendMailTo;
            std::printf("%zu\t%s\t%s\t%s\t%s\n", n, e.CheckFolder.c_str(), to.c_str(),
                        eventWords(e.FileChkMode).c_str(), e.MailBdLines.c_str());
        }
        return kExitOk;
    }
    std::string out = "[";
    for (size_t n = 0; n < list.size(); ++n) {
        const WatchEntry& e = list[n];
        out += n ? ",\n " : "\n ";
        out += "{\"index\": " + std::to_string(n) + ", \"path\": ";
        jsonString(out, e.CheckFolder);
        out += ", \"sendMailTo\": ";
        jsonString(out, e.SendMailTo.empty() ? kMessageDisplay : e.SendMailTo);
        out += ", \"fileChkMode\": " + std::to_string(e.FileChkMode);
        out += ", \"mailBdLines\": " + numberText(numericValue(e.MailBdLines));
        out += ", \"items\": " + std::to_string(e.CheckFiles.size()) + "}";
    }
    out += list.empty() ? "]\n" : "\n]\n";
    std::fputs(out.c_str(), stdout);
    return kExitOk;
}

bool indexOf(const std::string& word, const App& app, size_t& n) {
    if (word.empty() || word.size() > 9 ||
        word.find_first_not_of("0123456789") != std::string::npos)
        return false;
    n = std::stoul(word);
    return n < app.watchList.size();
}

std::string absolute(const std::string& path) {
    if (path.empty() || path.front() == '/')
        return path;
    char cwd[PATH_MAX + 1] = {};
    if (!::getcwd(cwd, PATH_MAX))
        return path;
    std::string base = cwd;
    return (base == "/" ? "" : base) + "/" + (path.rfind("./", 0) == 0 ? path.substr(2) : path);
}

bool isFolderPath(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

int watchCommand(App& app, const std::vector<std::string>& args) {
    const std::string sub = args.empty() ? "" : args[0];
    if (sub == "list") {
        if (args.size() == 1)
            return listEntries(app, false);
        if (args.size() == 2 && args[1] == "--json")
            return listEntries(app, true);
        return usageError("使い方: kestrova watch list [--json] (usage)");
    }
    if (sub == "add") {
        if (args.size() < 2 || args[1].empty() || args[1].rfind("--", 0) == 0)
            return usageError("使い方: kestrova watch add PATH [options] (usage)");
        const std::string path = absolute(args[1]);
        if (path.back() != '/' && isFolderPath(path))
            return usageError(path +
                              " はフォルダです。フォルダを監視するときは最後に / を付けて"
                              "ください: " +
                              path + "/ (a folder path must end with \"/\")");
        if (text::hasLineBreak(path))
            return usageError("改行を含むパスは監視できません。 (a path cannot hold a line break)");
        EntryOptions o;
        if (!parseOptions(args, 2, false, o))
            return kExitUsage;
        return editFiles(app, [&](App& a) {
            WatchEntry e = newWatchEntry(a, path);
            e.SendMailTo = kMessageDisplay;
            applyOptions(e, o);
            a.watchList.push_back(std::move(e));
            settleRecipients(a.watchList);
            std::printf("%zu\t%s\n", a.watchList.size() - 1, path.c_str());
            return kExitOk;
        });
    }
    if (sub == "set" || sub == "remove") {
        if (args.size() < 2)
            return usageError("使い方: kestrova watch " + sub + " N (usage)");
        EntryOptions o;
        if (sub == "set" && !parseOptions(args, 2, true, o))
            return kExitUsage;
        if (sub == "remove" && args.size() != 2)
            return usageError("不明な指定です: " + args[2] +
                              " (unknown word or option: " + args[2] + ")");
        return editFiles(app, [&](App& a) {
            size_t n = 0;
            if (!indexOf(args[1], a, n))
                return usageError("番号 " + args[1] + " の監視はありません (0 から " +
                                  std::to_string(a.watchList.size()) + " 件)。 (no entry " +
                                  args[1] + ")");
            if (sub == "set")
                applyOptions(a.watchList[n], o);
            else
                a.watchList.erase(a.watchList.begin() + static_cast<long>(n));
            settleRecipients(a.watchList);
            return kExitOk;
        });
    }
    return usageError("使い方: kestrova watch list | add PATH | set N | remove N (usage)");
}

} // namespace kestrova
