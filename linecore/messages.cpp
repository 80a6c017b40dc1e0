#include "linecore/messages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Set by main and read by every message of the run, from whichever part of
// the library reports it.
std::string_view program_name = "linecore";

} // namespace

void set_program_name(const char* argv0)
{
    std::string_view name = argv0 != nullptr ? argv0 : "";
    while (name.ends_with('/')) {
        name.remove_suffix(1);
    }
    // Without a slash, find_last_of gives npos, and npos + 1 is 0.
    name.remove_prefix(name.find_last_of('/') + 1);
    if (!name.empty()) {
        program_name = name;
    }
}

void report(const char* what)
{
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(program_name.size()), program_name.data(), what);
}

void report(const char* what, int error)
{
    std::fprintf(stderr, "%.*s: %s: %s\n", static_cast<int>(program_name.size()), program_name.data(), what,
                 std::strerror(error));
}

void exit_out_of_memory()
{
    report("memory exhausted");
    std::exit(1);
}
