// line_path: the path of the line loop the programs take on this
// processor, then every path it runs, one a line: SSE2 (plain off
// x86-64), AVX2, AVX-512.
#include "linecore/line_paths.h"

#include <cstdio>

int main()
{
    std::printf("%s\n", line_path_name(best_line_path()));
    for (const line_path path : {line_path::baseline, line_path::avx2, line_path::avx512}) {
        if (processor_runs(path)) {
            std::printf("%s\n", line_path_name(path));
        }
    }
    return 0;
}
