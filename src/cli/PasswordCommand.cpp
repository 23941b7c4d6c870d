// kestrova password [--stdin]
#include "cli/Command.h"

#include "core/App.h"
#include "core/Text.h"

#include <cstdio>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace kestrova {

namespace {

// One line from standard input; without echo when it is a terminal.
bool readLine(const char* prompt, bool quiet, std::string& out) {
    termios saved{};
    const bool terminal = quiet && ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (prompt)
        std::fputs(prompt, stderr);
    if (terminal) {
        termios noEcho = saved;
        noEcho.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &noEcho);
    }
    const bool got = static_cast<bool>(std::getline(std::cin, out));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return got;
}

} // namespace

int passwordCommand(App& app, const std::vector<std::string>& args) {
    const bool fromStdin = args.size() == 1 && args[0] == "--stdin";
    if (!args.empty() && !fromStdin)
        return usageError("使い方: kestrova password [--stdin] (usage)");
    if (app.settings.MailFromPassFromCredentials)
        return usageError("パスワードは $CREDENTIALS_DIRECTORY/mail-password から読んでいます。"
                          "そちらを変えてください。 (the password comes from the credentials "
                          "folder: change it there)");
    std::string password;
    if (fromStdin) {
        if (!readLine(nullptr, false, password))
            return usageError("標準入力からパスワードを読めませんでした。 (no line on standard "
                              "input)");
    } else {
        if (!::isatty(STDIN_FILENO))
            return usageError("端末がありません。--stdin で標準入力から渡してください。 (no "
                              "terminal: use --stdin)");
        std::string again;
        if (!readLine("パスワード (password): ", true, password) ||
            !readLine("もう一度 (again): ", true, again))
            return kExitFailed;
        if (password != again) {
            tell("二つのパスワードが一致しません。何も変えていません。 (the two entries differ: "
                 "nothing changed)");
            return kExitFailed;
        }
    }
    std::string cp932;
    bool control = false;
    for (unsigned char c : password)
        control = control || c < 0x20 || c == 0x7F;
    if (password.empty() || control || !text::isValidUtf8(password) ||
        !text::toCp932(password, cp932))
        return usageError("パスワードが空か、制御文字か Shift-JIS で表せない文字を含んでいます。 "
                          "(the password is empty or holds characters that cannot be stored)");
    const int status = editFiles(app, [&](App& a) {
        a.settings.MailFromPass = password;
        a.settings.MailFromPassUnreadable.clear();
        return kExitOk;
    });
    if (status == kExitOk)
        tell("パスワードを保存しました。 (password stored)");
    return status;
}

} // namespace kestrova
