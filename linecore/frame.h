// The frame every filter runs in: the key argument, the line loop over
// standard input, the check that input is not the output, and the exit
// status. With transform.h, the one header the programs include: it brings
// them the reader (line_input.h), the writers (line_output.h), the line
// paths (line_paths.h) and the messages (messages.h).
#ifndef LINECORE_FRAME_H
#define LINECORE_FRAME_H

#include "linecore/line_input.h"
#include "linecore/line_output.h"
#include "linecore/line_paths.h"
#include "linecore/messages.h"
#include "linecore/transform.h"

#include <cstdint>
#include <optional>

// Returns atoi of the one argument. Any other argument count writes the
// usage message to standard error and ends the run with status 1, before
// standard input is touched.
std::int32_t read_key(int argc, char** argv);

// Reports "input file is output file" and returns true when standard input
// and standard output are the same file and input is left to read: the
// run would read its own output until the disk is full.
bool refuse_input_that_is_output();

// Writes out what is left and closes standard output. Returns status 0 at
// the end of input; after a read error it reports the error and returns
// 1. A failed write or close is reported and ends the run with status 1
// wherever it happens.
int finish_run(const line_input& input, read_status last_read);

// Hands each line of standard input, brought to block length as pad_line
// brings it (its first block_size bytes, a shorter line padded with
// pad_char), with its 0-based index, to step(line, line_index); returns
// the run's exit status.
template <typename Step> int for_each_line(Step step)
{
#ifdef LINECORE_FORCE_PATH
    // The builds for the tests and the benchmark that take one path,
    // whatever the processor offers beyond it.
    const std::optional<line_path> path = path_for_run(line_path::LINECORE_FORCE_PATH);
#else
    const std::optional<line_path> path = path_for_run(std::nullopt);
#endif
    if (!path || refuse_input_that_is_output()) {
        return 1;
    }
    line_input input = start_input();
    const read_status last_read = run_lines_on(*path, step, input);
    return finish_run(input, last_read);
}

#endif
