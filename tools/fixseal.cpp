// fixseal: seals every line with the same key block and writes text lines.
#include "linecore/frame.h"
#include "linecore/transform.h"

#include <cstdint>

int main(int argc, char** argv)
{
    set_program_name(argv[0]);
    const std::int32_t key = read_key(argc, argv);
    block_string key_block;
    block_string output_block;
    return for_each_line([&](block_string& line, std::uint64_t line_index) {
        pad_line(line);
        if (line_index == 0) {
            key_block = make_key_block(key);
        }
        combine_block(line, key_block, output_block);
        write_text_line(output_block);
    });
}
