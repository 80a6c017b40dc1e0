// The program's name and its messages on standard error, as a Unix filter
// writes them: "NAME: WHAT" or "NAME: WHAT: REASON".
#ifndef LINECORE_MESSAGES_H
#define LINECORE_MESSAGES_H

// Messages begin with the last component of argv[0]; a trailing slash ends
// no component, so "bin/stepseal/" names stepseal. Where argv[0] names
// nothing, the name stays as it was.
void set_program_name(const char* argv0);

void report(const char* what);
// With the reason strerror gives for error.
void report(const char* what, int error);

// Where the memory for a block is not there: reports it and ends the run
// with status 1, as GNU's filters end, rather than with an abort.
[[noreturn]] void exit_out_of_memory();

#endif
