#include "main_window/play_command.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

// The folder of the executable itself, also when it is run through a link; empty
// when it cannot be told (no /proc), never the working folder, from which any
// module could be loaded.
std::string programDir()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return {};
    const std::string exe(path, std::size_t(n));
    const std::size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

} // namespace

int main(int argc, char *argv[])
{
    // A press from a shortcut needs the D-Bus library alone: it must not wait for
    // Qt, the window system's and the sound libraries to be mapped and relocated.
    if (PlayCommand::isAsked(argc, argv))
        return PlayCommand::run(argc, argv);
    const std::string dir = programDir();
    if (dir.empty()) {
        std::fputs("zembra: programın bulunduğu klasör bulunamadı (/proc/self/exe "
                   "okunamıyor); program modülü yüklenmedi\n",
                   stderr);
        return 1;
    }
    const std::string module = dir + "/zembra_program.so";
    void *handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto *run =
        handle ? reinterpret_cast<int (*)(int, char *[])>(::dlsym(handle, "zembra_run")) : nullptr;
    if (!run) {
        std::fprintf(stderr, "zembra: program modülü yüklenemedi: %s\n", ::dlerror());
        return 1;
    }
    return run(argc, argv);
}
