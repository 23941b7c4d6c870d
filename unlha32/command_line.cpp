#include "command_line.h"

#include "errors.h"

#include <cctype>
#include <cstring>

namespace unlha {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Splits into words. Inside a quoted word a doubled quote stands for one
// quote (the caller doubles every quote of a path), and a quote ends the word
// only before a blank or the end of the line; any other lone quote is kept as
// part of the name.
std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (true) {
        while (i < n && isBlank(line[i]))
            ++i;
        if (i >= n)
            break;
        if (line[i] != '"') {
            const std::size_t start = i;
            while (i < n && !isBlank(line[i]))
                ++i;
            words.push_back(line.substr(start, i - start));
            continue;
        }
        const std::size_t open = i;
        std::string word;
        bool closed = false;
        for (++i; i < n; ++i) {
            if (line[i] != '"') {
                word += line[i];
                continue;
            }
            if (i + 1 < n && line[i + 1] == '"') {
                word += '"';
                ++i;
                continue;
            }
            if (i + 1 == n || isBlank(line[i + 1])) {
                closed = true;
                ++i;
                break;
            }
            word += '"';
        }
        if (!closed)
            throw CommandError("引用符が閉じていません (unterminated quote): " + line.substr(open));
        words.push_back(std::move(word));
    }
    return words;
}

// One option group such as "-r2x1d1n1c1gm1": names, each with an optional
// number (no number means 1).
void parseOptions(const std::string& word, Command& cmd) {
    std::size_t i = 1;
    while (i < word.size()) {
        std::string name(1, static_cast<char>(std::tolower(static_cast<unsigned char>(word[i]))));
        if (name == "g" && i + 1 < word.size() &&
            std::isalpha(static_cast<unsigned char>(word[i + 1])))
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(word[++i])));
        ++i;
        long value = 1;
        if (i < word.size() && std::isdigit(static_cast<unsigned char>(word[i]))) {
            value = 0;
            while (i < word.size() && std::isdigit(static_cast<unsigned char>(word[i])) &&
                   value < 100)
                value = value * 10 + (word[i++] - '0');
        }
        auto bad = [&]() {
            throw CommandError("使えないオプションです (unsupported option): -" + name +
                               std::to_string(value) + " in " + word);
        };
        if (name == "r") {
            if (value > 2)
                bad();
            cmd.recurse = value != 0;
        } else if (name == "x") {
            if (value > 1)
                bad();
            cmd.keepPaths = value == 1;
        } else if (name == "d") {
            if (value > 1)
                bad();
            cmd.folderEntries = value == 1;
        } else if (name == "n" || name == "c" || name == "gm") {
            // No progress display exists; the archive is always new, so every
            // file is added anyway; message style is fixed.
            if (value > 1)
                bad();
        } else {
            bad();
        }
    }
    if (word.size() < 2)
        throw CommandError("オプションが空です (empty option): " + word);
}

bool endsWithSeparator(const std::string& s) {
    return !s.empty() && s.back() == '/';
}

} // namespace

Command parseCommandLine(const std::string& line) {
    if (std::memchr(line.data(), '\0', line.size()))
        throw CommandError("コマンド行が不正です (bad command line)");
    const std::vector<std::string> words = splitWords(line);
    Command cmd;
    std::size_t i = 0;
    while (i < words.size() && words[i].size() >= 1 && words[i][0] == '-')
        parseOptions(words[i++], cmd);
    if (i >= words.size())
        throw CommandError("コマンドがありません (no command given)");
    if (words[i] != "a" && words[i] != "A")
        throw CommandError("使えないコマンドです (unsupported command): " + words[i]);
    ++i;
    if (i >= words.size() || words[i].empty())
        throw CommandError("書庫名がありません (no archive name given)");
    cmd.archive = words[i++];
    // As with the classic syntax, a word ending in a separator names the base folder.
    if (i < words.size() && endsWithSeparator(words[i])) {
        cmd.baseFolder = words[i++];
        while (cmd.baseFolder.size() > 1 && endsWithSeparator(cmd.baseFolder))
            cmd.baseFolder.pop_back();
    }
    for (; i < words.size(); ++i) {
        if (words[i].empty())
            throw CommandError("空の対象名があります (empty file name)");
        cmd.targets.push_back(words[i]);
    }
    if (cmd.targets.empty())
        throw CommandError("圧縮するファイルが指定されていません (no files given)");
    return cmd;
}

} // namespace unlha
