#include "app/commandline.h"

#include <cstdio>
#include <cstring>

namespace commandline {

std::optional<int> answer(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!std::strcmp(a, "--version") || !std::strcmp(a, "-V") || !std::strcmp(a, "-v")) {
            std::printf("quorvane %d.%d.%d\n", QUORVANE_VERSION_MAJOR, QUORVANE_VERSION_MINOR, QUORVANE_VERSION_REVISION);
            return 0;
        }
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
            std::fputs("Usage: quorvane [--help | --version]\n"
                       "\n"
                       "The command console for REZizavur stepper-motor drives on a serial bus. It takes no\n"
                       "arguments: everything is chosen in its windows, and the settings window's choices\n"
                       "are kept in ~/.config/Kestrelworks/Kestrelworks.conf.\n"
                       "\n"
                       "  -h, --help     Show this text and exit.\n"
                       "  -V, --version  Show the version and exit.\n"
                       "\n"
                       "For scripts, quorvane-cli sends commands and prints the drives' replies without\n"
                       "windows (see quorvane-cli --help).\n",
                       stdout);
            return 0;
        }
    }
    return std::nullopt;
}

} // namespace commandline
