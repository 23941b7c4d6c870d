// The C entry points. Everything runs on the caller's thread with state of
// its own, so several threads may archive at once.
// The library is built with hidden visibility; the interface is exported.
#pragma GCC visibility push(default)
#include "unlha32.h"
#pragma GCC visibility pop

#include "archive_writer.h"
#include "command_line.h"
#include "errors.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr int kVersion = 100;
constexpr int kCommandError = 1;
constexpr int kFileError = 2;
constexpr int kInternalError = 3;

// Copies msg into out, cut to fit without splitting a UTF-8 character.
void setMessage(char* out, unsigned long size, const std::string& msg) {
    if (!out || size == 0)
        return;
    std::size_t n = std::min<std::size_t>(msg.size(), size - 1);
    if (n < msg.size())
        while (n > 0 && (static_cast<unsigned char>(msg[n]) & 0xC0) == 0x80)
            --n;
    std::memcpy(out, msg.data(), n);
    out[n] = '\0';
}

} // namespace

extern "C" int UnlhaGetVersion(void) {
    return kVersion;
}

extern "C" int Unlha(void* window, const char* commandLine, char* output, unsigned long size) {
    (void)window;
    try {
        if (!commandLine)
            throw unlha::CommandError("コマンド行がありません (no command line)");
        unlha::writeArchive(unlha::parseCommandLine(commandLine));
        setMessage(output, size, "");
        return 0;
    } catch (const unlha::CommandError& e) {
        setMessage(output, size, e.what());
        return kCommandError;
    } catch (const unlha::FileError& e) {
        setMessage(output, size, e.what());
        return kFileError;
    } catch (const std::bad_alloc&) {
        setMessage(output, size, "メモリが足りません (out of memory)");
        return kInternalError;
    } catch (const std::exception& e) {
        setMessage(output, size,
                   std::string("書庫を作成できません (cannot create archive): ") + e.what());
        return kInternalError;
    } catch (...) {
        setMessage(output, size, "書庫を作成できません (cannot create archive)");
        return kInternalError;
    }
}
