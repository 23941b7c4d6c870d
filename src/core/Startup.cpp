#include "core/Startup.h"

#include "core/App.h"
#include "core/Text.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrova {

bool isCommandWord(const std::string& word) {
    return word == "config" || word == "watch" || word == "password" || word == "test-mail" ||
           word == "check";
}

StartOptions parseCommandLine(const std::vector<std::string>& args) {
    StartOptions o;
    std::vector<std::string> words; // the start word and what follows it
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.ShowHelp = true;
            continue;
        }
        if (a == "--version") {
            o.ShowVersion = true;
            continue;
        }
        if (a == "--folder" || a.rfind("--folder=", 0) == 0) {
            std::string dir;
            if (a == "--folder") {
                if (i + 1 < args.size())
                    dir = args[++i];
            } else {
                dir = a.substr(9);
            }
            if (dir.empty())
                o.Error = "--folder にはフォルダを指定してください。 (--folder needs a folder)";
            o.Folder = dir;
            continue;
        }
        if (o.Command.empty() && words.empty() && isCommandWord(a)) {
            o.Command = a;
            continue;
        }
        if (!o.Command.empty()) {
            o.CommandArgs.push_back(a);
            continue;
        }
        // The watcher's words: the text is split at blanks.
        size_t start = 0;
        while (start <= a.size()) {
            size_t end = a.find(' ', start);
            if (end == std::string::npos)
                end = a.size();
            if (end > start)
                words.push_back(a.substr(start, end - start));
            start = end + 1;
        }
    }
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        const bool startWord = w == "b" || w == "B" || w == "i" || w == "I";
        if (!startWord) {
            o.Error = "不明な指定です: " + w + " (unknown word or option: " + w + ")";
            break;
        }
        if (i > 0)
            continue; // only the first word counts
        if (w == "b" || w == "B")
            o.Interactive = false;
        else
            o.StartVisible = false;
    }
    return o;
}

std::string usageText() {
    return R"(使い方: kestrova [b | i] [--folder フォルダ]
        kestrova コマンド [引数] [--folder フォルダ]
        kestrova --help | --version

  (なし)             メインウィンドウとトレイアイコンで起動します。
  i                  トレイアイコンだけで起動します。
  b                  ウィンドウなしで動きます（画面は不要）。メールで通知する
                     監視だけを行い、SIGTERM か Ctrl+C で終わります。
  --folder フォルダ  設定・監視リスト・ログ・Temp をこのフォルダに置きます
                     （コマンドの前にも後にも書けます）。
  --help             この説明を表示します。
  --version          版数を表示します。

コマンド（画面は不要、ウィンドウは開きません）:
  config list                  共通設定（InitSetting）の全項目を表示します。
      例: kestrova config list
  config get 項目              一つの項目の値を表示します。
      例: kestrova config get SmtpServer
  config set 項目 値           一つの項目を設定画面と同じ確認をして保存します
                               （MailFromPass は password で設定します）。
      例: kestrova config set AuthMode "SMTP AUTH LOGIN"
  password [--stdin]           メールのパスワードを端末から二回（表示なし）、
                               または標準入力から一行読み、暗号化して保存
                               します。
      例: kestrova password
  watch list [--json]          監視リストを番号順に表示します。
      例: kestrova watch list --json
  watch add パス [オプション]  監視を追加します（フォルダは "/" で終わる）。
      --to アドレス[,アドレス...] | --message  通知先（メール／メッセージ表示）
      --on new,update,delete   通知する変化（既定: 三つとも）
      --body 行数              ファイルの内容を本文にする（負の数は末尾から）
      --attach  --lzh  --subfolders   添付、LZH圧縮、サブフォルダを含む
      例: kestrova watch add /srv/upload/ --to ops@example.com
  watch set 番号 [オプション]  監視の設定を変えます（指定しない値はそのまま）。
      --no-body  --no-attach  --no-lzh  --no-subfolders   その指定を外す
      例: kestrova watch set 1 --on update,delete
  watch remove 番号            監視を削除します。
      例: kestrova watch remove 1
  test-mail アドレス           今の設定で試しのメールを一度送り、各段階を
                               標準エラーに表示します（受け付けられたら 0、
                               そうでなければ 1 で終わります）。
      例: kestrova test-mail ops@example.com
  check                        b の検査を一回だけ行います（全部届いたか変化
                               なしは 0、失敗があれば 1、使い方や設定の誤りは
                               2）。動いている b と並べても安全です。
      例: kestrova check
  知らない語やオプションは使い方の誤りで、終了状態は 2 です。

ファイルの置き場所（プログラムのフォルダ）:
  --folder のフォルダ。指定がなければ、実行ファイルのフォルダに書き込めるとき
  はそこ（ポータブル）、書き込めないとき（インストールしたとき）は
  $XDG_DATA_HOME/kestrova（既定 ~/.local/share/kestrova）。
  kestrova.ini（設定）、kestrovaD.ini（監視リスト）、kestrova.log、
  kestrova_old.log、kestrova.lock、Temp/ がそこにできます。
  書式は man 5 kestrova.ini にあります。
  CREDENTIALS_DIRECTORY のフォルダに mail-password があれば、その一行目が
  パスワードになります（systemd の LoadCredentialEncrypted=）。

systemd:
  systemctl --user enable --now kestrova
      ログインしている間 kestrova b を動かします（ファイルは上と同じ）。
  systemctl enable --now kestrova@名前
      システムの監視を一つ動かします（フォルダ /var/lib/kestrova/名前）。
  ログ: journalctl --user -u kestrova / journalctl -u kestrova@名前

Usage: kestrova [b | i] [--folder DIR]
       kestrova COMMAND [ARGUMENTS] [--folder DIR]
       kestrova --help | --version

  (none)        start with the main window and the tray icon
  i             start hidden, with the tray icon only
  b             run without windows (no display needed): check the entries
                that notify by mail; ends on SIGTERM or Ctrl+C
  --folder DIR  keep settings, watch list, logs and Temp in DIR (before or
                after the command word)
  --help        show this text
  --version     show the version

Commands (no display needed, no window opens):
  config list                 print every key of InitSetting with its value
      e.g. kestrova config list
  config get KEY              print one value
      e.g. kestrova config get SmtpServer
  config set KEY VALUE        store one value, checked as the settings dialog
                              does (MailFromPass: use password)
      e.g. kestrova config set AuthMode "SMTP AUTH LOGIN"
  password [--stdin]          read the mail password twice from the terminal
                              without echo, or one line from standard input,
                              and store it enciphered
      e.g. kestrova password
  watch list [--json]         print the watch entries in order
      e.g. kestrova watch list --json
  watch add PATH [OPTIONS]    add an entry (a folder's path ends with "/")
      --to ADDR[,ADDR...] | --message   mail these addresses / message window
      --on new,update,delete   the changes to notify (default: all three)
      --body N                 N lines of the file as mail body (N < 0: last)
      --attach  --lzh  --subfolders    attach, as LZH archive, with subfolders
      e.g. kestrova watch add /srv/upload/ --to ops@example.com
  watch set N [OPTIONS]       change entry N (what is not given stays)
      --no-body  --no-attach  --no-lzh  --no-subfolders   switch that off
      e.g. kestrova watch set 1 --on update,delete
  watch remove N              remove entry N
      e.g. kestrova watch remove 1
  test-mail ADDR              send one test mail with the current settings,
                              each step on standard error; exit 0 when the
                              server accepted it, 1 when not
      e.g. kestrova test-mail ops@example.com
  check                       one pass of b; exit 0 all delivered or nothing
                              changed, 1 any failed, 2 usage or settings
                              error; safe beside a running b
      e.g. kestrova check
  An unknown word or option is a usage error: exit status 2.

Where the files live (the program's folder):
  the --folder DIR; otherwise the executable's folder when it is writable
  (a portable copy), else (an installed copy) $XDG_DATA_HOME/kestrova,
  by default ~/.local/share/kestrova. It holds kestrova.ini (settings),
  kestrovaD.ini (watch list), kestrova.log, kestrova_old.log, kestrova.lock
  and Temp/. Their format: man 5 kestrova.ini. A file mail-password in
  $CREDENTIALS_DIRECTORY (systemd's LoadCredentialEncrypted=) holds the
  password instead of kestrova.ini.

systemd:
  systemctl --user enable --now kestrova
      runs kestrova b while you are logged in (the same files as above)
  systemctl enable --now kestrova@NAME
      runs one system watcher with its folder /var/lib/kestrova/NAME
  logs: journalctl --user -u kestrova / journalctl -u kestrova@NAME
)";
}

std::string versionText() {
    return "kestrova " + std::to_string(KESTROVA_VERSION_MAJOR) + "." +
           std::to_string(KESTROVA_VERSION_MINOR) + "." + std::to_string(KESTROVA_VERSION_PATCH) +
           " (" +
           makeAppTitle(KESTROVA_VERSION_MAJOR, KESTROVA_VERSION_MINOR, KESTROVA_VERSION_PATCH) +
           ")\n";
}

namespace {

bool isSystemTree(const std::string& folder) {
    return folder == "/usr" || folder.rfind("/usr/", 0) == 0;
}

std::string homeFolder() {
    const char* home = std::getenv("HOME");
    if (home && *home == '/')
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir == '/')
        return pw->pw_dir;
    return "";
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

std::string programFolder(const std::string& exeFolder, const std::string& chosen,
                          std::string& error) {
    if (!chosen.empty()) {
        if (chosen.front() == '/')
            return withoutTrailingSlashes(chosen);
        char cwd[PATH_MAX + 1] = {};
        if (!::getcwd(cwd, PATH_MAX)) {
            error = chosen + ": " + std::strerror(errno);
            return "";
        }
        std::string base = cwd;
        return withoutTrailingSlashes((base == "/" ? "" : base) + "/" + chosen);
    }
    // Root may write into the system's tree, but an installed program keeps
    // nothing there.
    if (!isSystemTree(exeFolder) && ::access(exeFolder.c_str(), W_OK) == 0)
        return exeFolder;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/')
        return withoutTrailingSlashes(xdg) + "/kestrova";
    std::string home = homeFolder();
    if (home.empty()) {
        error = "ホームフォルダがわかりません。--folder でフォルダを指定してください。 "
                "(no home folder; choose one with --folder)";
        return "";
    }
    return (home == "/" ? "" : withoutTrailingSlashes(home)) + "/.local/share/kestrova";
}

bool makeProgramFolder(const std::string& folder, std::string& error) {
    // Each missing part is made 0700, as the base directory rules ask for.
    for (size_t pos = 1; pos <= folder.size(); ++pos) {
        if (pos < folder.size() && folder[pos] != '/')
            continue;
        std::string part = folder.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = part + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = folder + ": " + std::strerror(ENOTDIR);
        return false;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        error = folder + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string makeAppTitle(int major, int minor, int revision) {
    return "ケストロバ(Ver." + std::to_string(major) + "." + std::to_string(minor) +
           std::to_string(revision) + ")";
}

std::string makeMainCaption(const std::string& appTitle, const std::string& folder) {
    return appTitle + " [起動フォルダ:" + folder + "]";
}

std::string computerName() {
    char buf[5120] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0)
        return "";
    return text::trimBlanks(buf);
}

std::string extendedPath(const std::string& oldPath, const std::string& folder) {
    if (oldPath.empty())
        return folder;
    std::string sep = oldPath.back() == ':' ? "" : ":";
    return oldPath + sep + folder;
}

void executableLocation(std::string& folder, std::string& baseName) {
    char buf[PATH_MAX + 1] = {};
    ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
    std::string exe = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string("kestrova");
    size_t slash = exe.find_last_of('/');
    folder = slash == std::string::npos ? "." : exe.substr(0, slash ? slash : 1);
    baseName = slash == std::string::npos ? exe : exe.substr(slash + 1);
}

std::string missingMailLibraryText(const std::string& baseName) {
    return std::string(kMailLibrary) + " を " + baseName + " と同じフォルダに置いてください。";
}

namespace {

// Makes the Temp folder when it is missing. Something else standing under
// its name (a file, a dangling link) is a failure like a folder that cannot
// be made: archives could never be put there.
bool ensureFolder(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = path + ": " + std::strerror(ENOTDIR);
        return false;
    }
    return true;
}

} // namespace

void announceHeadlessRun(App& app, const std::string& word) {
    if (app.log.journal || !::isatty(STDERR_FILENO))
        return;
    size_t mail = 0;
    for (const WatchEntry& e : app.watchList)
        mail += e.mailsTo() ? 1 : 0;
    std::fprintf(stderr,
                 "kestrova %s: フォルダ %s、メールで通知する監視 %zu 件、確認の間隔 %s 秒 "
                 "(folder %s, %zu entries notify by mail, CheckSec %s)\n",
                 word.c_str(), app.dataDir.c_str(), mail, app.settings.CheckSec.c_str(),
                 app.dataDir.c_str(), mail, app.settings.CheckSec.c_str());
    app.log.echoWarnings = true;
}

StartResult prepareApp(App& app, const std::string& exeFolder, const std::string& folder,
                       const std::string& baseName, const StartOptions& options,
                       std::string& failure) {
    AppSettings& s = app.settings;
    s.Interactive = options.Interactive;
    s.StartVisible = options.StartVisible;
    s.ComputerName = computerName();
    app.programDir = exeFolder;
    app.dataDir = folder;
    app.baseName = baseName;
    const char* path = std::getenv("PATH");
    ::setenv("PATH", extendedPath(path ? path : "", exeFolder).c_str(), 1);

    struct stat st {};
    if (::stat((exeFolder + "/" + kMailLibrary).c_str(), &st) != 0) {
        failure = missingMailLibraryText(baseName);
        return StartResult::NotStarted;
    }
    if (folder != exeFolder && !makeProgramFolder(folder, failure))
        return StartResult::NotStarted;
    if (::chdir(folder.c_str()) != 0) {
        // Not fatal: every path below is absolute.
    }

    std::string prefix = (folder == "/" ? "" : folder) + "/";
    s.TempFolder = prefix + "Temp";
    s.SettingsFile = prefix + baseName + ".ini";
    s.WatchListFile = prefix + baseName + "D.ini";
    app.log.setBasePath(prefix + baseName);
    app.log.interactive = options.Interactive;
    s.AppTitle =
        makeAppTitle(KESTROVA_VERSION_MAJOR, KESTROVA_VERSION_MINOR, KESTROVA_VERSION_PATCH);
    app.log.title = s.AppTitle;

    std::string error;
    if (!ensureFolder(s.TempFolder, error)) {
        app.logError("CommonModule", "Main", error, true);
        return StartResult::Failed;
    }
    ReadIni(app);
    s.MainCaption = makeMainCaption(s.AppTitle, folder);
    return StartResult::Ready;
}

} // namespace kestrova
