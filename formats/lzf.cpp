#include "formats/lzf.h"

#include <algorithm>
#include <cstring>
#include <vector>

void decode_lzf(ByteSource& source, std::uint64_t in_size, std::uint64_t out_size,
                const DecodedBytes& take) {
    // The farthest a copy reaches back, kept in the window when it is handed on.
    constexpr std::size_t history = 8192;
    constexpr std::size_t window_size = std::size_t{1} << 20;
    // The most one step writes: a copy of 7 + 255 + 2 bytes.
    constexpr std::size_t longest_step = 264;
    // The most one step reads: a control byte and a literal run of 32.
    constexpr std::size_t longest_input = 33;
    std::vector<unsigned char> window(window_size);
    std::size_t end = 0;
    std::size_t handed = 0;
    std::uint64_t before_window = 0;
    std::uint64_t in_left = in_size;
    const auto corrupt = [] { fail("the compressed data are corrupt"); };
    while (in_left > 0) {
        if (window_size - end < longest_step) {
            take(window.data() + handed, end - handed, before_window + handed);
            std::memmove(window.data(), window.data() + end - history, history);
            before_window += end - history;
            end = history;
            handed = history;
        }
        source.request(longest_input);
        const auto held =
            static_cast<std::size_t>(std::min<std::uint64_t>(in_left, source.available()));
        const unsigned char* in = source.data();
        const unsigned control = in[0];
        std::size_t used = 1;
        if (control < 32) {
            const std::size_t length = control + 1;
            if (used + length > held || before_window + end + length > out_size) {
                corrupt();
            }
            std::memcpy(window.data() + end, in + used, length);
            used += length;
            end += length;
        } else {
            std::size_t length = control >> 5;
            if (length == 7) {
                if (used >= held) {
                    corrupt();
                }
                length += in[used++];
            }
            length += 2;
            if (used >= held) {
                corrupt();
            }
            const std::size_t distance = ((control & 0x1Fu) << 8) + in[used++] + 1;
            if (distance > end || before_window + end + length > out_size) {
                corrupt();
            }
            // A copy from nearer than its length repeats what it writes: each piece copies all
            // that lies between the copy's start and the end, twice as much as the piece before.
            const std::size_t from = end - distance;
            while (length > 0) {
                const std::size_t piece = std::min(length, end - from);
                std::memcpy(window.data() + end, window.data() + from, piece);
                end += piece;
                length -= piece;
            }
        }
        source.advance(used);
        in_left -= used;
    }
    if (before_window + end != out_size) {
        fail("the compressed data decode to " + with_commas(before_window + end) +
             " bytes instead of " + with_commas(out_size));
    }
    take(window.data() + handed, end - handed, before_window + handed);
}
