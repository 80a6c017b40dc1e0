// model_filter PROGRAM KEY: what the named program writes for standard
// input, by the tests' independent model, so that long runs through the
// real programs can be checked against it.
#include "reference.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

int main(int argc, char** argv)
{
    for (const program_model& p : all_programs) {
        if (argc == 3 && std::strcmp(argv[1], p.name) == 0) {
            std::ios::sync_with_stdio(false);
            std::cin.tie(nullptr); // no flush before every read: this is a batch tool
            const std::string key_block = reference_key_block(std::atoi(argv[2]));
            std::uint64_t n = 0;
            for (std::string line; std::getline(std::cin, line); ++n) {
                std::cout << reference_line(p.program, key_block, n, line);
            }
            std::cout.flush();
            return std::cout ? 0 : 1;
        }
    }
    std::fputs("usage: model_filter stepseal|stepopen|fixseal KEY\n", stderr);
    return 2;
}
