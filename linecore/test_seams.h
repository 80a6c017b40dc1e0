// What the tests hold the library by, and the programs never use: forcing
// a path of the line loop, learning which path a run took, and putting
// stand-ins in place of the descriptor calls, so that a test can run the
// frame, or a program's main, in process.
#ifndef LINECORE_TEST_SEAMS_H
#define LINECORE_TEST_SEAMS_H

#include "linecore/descriptors.h"
#include "linecore/line_paths.h"

// Makes every later run take the given path; false, and nothing changed,
// where the processor lacks it.
bool force_line_path(line_path path);
// Later runs take the widest path again, as a program's own runs do.
void stop_forcing_line_path();
// The path the last run took.
line_path last_run_path();

// Every later call on the descriptors goes to these.
void use_descriptor_calls(const descriptor_calls& stand_ins);

#endif
