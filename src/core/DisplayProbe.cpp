#include "core/DisplayProbe.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace kestrova {

namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

// An X server that accepts a connection, asked through libxcb (what Qt's
// xcb platform uses, so authorisation and the display name are read the
// same way). Loaded at run time: a "b" run must not need it.
bool xReachable() {
    if (env("DISPLAY").empty())
        return false;
    void* lib = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!lib)
        return false;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(::dlsym(lib, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(::dlsym(lib, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(::dlsym(lib, "xcb_disconnect"));
    bool ok = false;
    if (connect && hasError && disconnect) {
        int screen = 0;
        void* c = connect(nullptr, &screen);
        ok = c && hasError(c) == 0;
        if (c)
            disconnect(c); // also frees a connection in error
    }
    ::dlclose(lib);
    return ok;
}

// A Wayland compositor listening on the socket WAYLAND_DISPLAY names.
bool waylandReachable() {
    if (!env("WAYLAND_SOCKET").empty())
        return true; // an inherited, already connected socket
    std::string name = env("WAYLAND_DISPLAY");
    if (name.empty())
        return false;
    std::string path = name;
    if (name.front() != '/') {
        std::string runtime = env("XDG_RUNTIME_DIR");
        if (runtime.empty())
            return false;
        path = runtime + "/" + name;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

std::string advice() {
    return "ウィンドウなしで動かすには kestrova b を使ってください。\n";
}

std::string adviceEn() {
    return "; use \"kestrova b\" to run without windows.\n";
}

} // namespace

std::string displayProblem() {
    const std::string platform = env("QT_QPA_PLATFORM");
    bool wantX = platform.empty(), wantWayland = platform.empty();
    if (!platform.empty()) {
        // A list such as "wayland;xcb"; each name may carry ":options".
        size_t pos = 0;
        while (pos <= platform.size()) {
            size_t end = platform.find(';', pos);
            std::string item = platform.substr(pos, end == std::string::npos ? end : end - pos);
            item = item.substr(0, item.find(':'));
            if (item == "xcb")
                wantX = true;
            else if (item.rfind("wayland", 0) == 0)
                wantWayland = true;
            else if (!item.empty())
                return ""; // offscreen, vnc, eglfs ...: nothing to ask
            if (end == std::string::npos)
                break;
            pos = end + 1;
        }
    }
    const bool x = wantX && xReachable();
    const bool wayland = wantWayland && waylandReachable();
    if (x || wayland) {
        if (platform.empty() && x != wayland)
            ::setenv("QT_QPA_PLATFORM", x ? "xcb" : "wayland", 1);
        return "";
    }
    const std::string display = env("DISPLAY"), waylandDisplay = env("WAYLAND_DISPLAY");
    if ((!wantX || display.empty()) && (!wantWayland || waylandDisplay.empty()))
        return "kestrova: 画面がありません（DISPLAY も WAYLAND_DISPLAY も設定されていません）。" +
               advice() + "kestrova: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)" +
               adviceEn();
    std::string names;
    if (wantX && !display.empty())
        names = "DISPLAY=" + display;
    if (wantWayland && !waylandDisplay.empty())
        names += (names.empty() ? "" : ", ") + std::string("WAYLAND_DISPLAY=") + waylandDisplay;
    return "kestrova: 画面に接続できません（" + names + "）。" + advice() +
           "kestrova: cannot connect to the display (" + names + ")" + adviceEn();
}

} // namespace kestrova
