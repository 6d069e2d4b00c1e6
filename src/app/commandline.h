#pragma once
// The console's command line. It takes no arguments of its own but answers --help and
// --version, printing before any window, display or settings are touched.

#include <optional>

namespace commandline {

// --help (-h) or --version (-V, -v) anywhere among the arguments: prints the answer on stdout
// and gives the exit status 0. Otherwise nullopt, and the program starts as usual (Qt takes
// its own options, such as -platform, from the same arguments).
std::optional<int> answer(int argc, char **argv);

} // namespace commandline
