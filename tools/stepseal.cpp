// stepseal: seals each line with the key block, its last byte raised by
// one more for every line, and writes text lines.
#include "linecore/frame.h"
#include "linecore/transform.h"

#include <cstdint>

int main(int argc, char** argv)
{
    set_program_name(argv[0]);
    const std::int32_t key = read_key(argc, argv);
    block_string key_block;
    block_string counter_block;
    block_string output_block;
    return for_each_line([&](block_string& line, std::uint64_t line_index) {
        pad_line(line);
        if (line_index == 0) {
            key_block = make_key_block(key);
            counter_block = key_block;
        } else {
            step_counter(counter_block);
        }
        combine_block(line, counter_block, output_block);
        write_text_line(output_block);
    });
}
