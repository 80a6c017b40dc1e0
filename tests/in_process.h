// Each program's main, built renamed, run in process by the paths test and
// the fuzzers on the stand-in descriptor calls.
#ifndef TESTS_IN_PROCESS_H
#define TESTS_IN_PROCESS_H

#include "reference.h"

#include <string>

int stepseal_main(int argc, char** argv);
int stepopen_main(int argc, char** argv);
int fixseal_main(int argc, char** argv);

// The program's main with the key as its one argument; its status.
inline int run_main(reference_program program, const std::string& key)
{
    // The frame keeps argv[0] for its messages: it must outlive the run.
    static char name[] = "in_process";
    std::string argument = key;
    char* argv[] = {name, argument.data(), nullptr};
    switch (program) {
    case reference_program::stepseal:
        return stepseal_main(2, argv);
    case reference_program::stepopen:
        return stepopen_main(2, argv);
    case reference_program::fixseal:
        return fixseal_main(2, argv);
    }
    return -1;
}

#endif
