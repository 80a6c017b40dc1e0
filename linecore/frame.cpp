#include "linecore/frame.h"

#include "linecore/descriptors.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

std::int32_t read_key(int argc, char** argv)
{
    if (argc != 2) {
        static const char usage[] = "Usage error: Please put in key\n";
        std::fwrite(usage, 1, sizeof usage - 1, stderr);
        std::exit(1);
    }
    // glibc's atoi is (int) strtol: the same key for every text, without
    // the undefined behaviour atoi has for numbers beyond int.
    return static_cast<std::int32_t>(std::strtol(argv[1], nullptr, 10));
}

bool refuse_input_that_is_output()
{
    struct stat input {};
    struct stat output {};
    if (!stat_descriptor(STDIN_FILENO, input) || !stat_descriptor(STDOUT_FILENO, output) || !S_ISREG(input.st_mode) ||
        input.st_dev != output.st_dev || input.st_ino != output.st_ino) {
        return false;
    }
    // Only input left to read would be our own output: `f <f >f` is an
    // ordinary empty run, since the shell has emptied f.
    const off_t offset = standard_input_offset();
    if (offset < 0 || offset >= input.st_size) {
        return false;
    }
    report("input file is output file");
    return true;
}

int finish_run(const line_input& input, read_status last_read)
{
    flush_output();
    int status = 0;
    if (last_read == read_status::error) {
        report("read error", input.error);
        status = 1;
    }
    close_output();
    return status;
}
