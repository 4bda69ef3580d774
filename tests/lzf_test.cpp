#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "formats/lzf.h"
#include "formats/read_support.h"
#include "tests/point_files_writer.h"

namespace {

// What `lzf` decodes to, told to be `out_size` bytes, or the reason it cannot be decoded.
std::string decoded(const std::string& lzf, std::size_t out_size) {
    ByteSource source(reinterpret_cast<const unsigned char*>(lzf.data()), lzf.size());
    std::string out;
    try {
        decode_lzf(source, lzf.size(), out_size,
                   [&](const unsigned char* bytes, std::size_t size, std::uint64_t offset) {
                       EXPECT_EQ(offset, out.size());
                       out.append(reinterpret_cast<const char*>(bytes), size);
                   });
    } catch (const FileError& error) {
        return std::string("error: ") + error.what();
    }
    EXPECT_EQ(source.available(), 0u);
    return out;
}

// A literal run of `bytes` (at most 32).
std::string literal(const std::string& bytes) {
    return static_cast<char>(bytes.size() - 1) + bytes;
}

// A copy of `length` bytes (3 to 264) from `distance` bytes back (1 to 8,192).
std::string copy(std::size_t length, std::size_t distance) {
    const std::size_t stored = length - 2;
    const std::size_t back = distance - 1;
    std::string step(1, static_cast<char>((stored < 7 ? stored : 7) << 5 | back >> 8));
    if (stored >= 7) {
        step += static_cast<char>(stored - 7);
    }
    return step + static_cast<char>(back & 0xFF);
}

TEST(Lzf, CopiesFromEarlierOutput) {
    // Short: the length in the control byte.
    EXPECT_EQ(decoded(literal("abcd") + copy(3, 4), 7), "abcdabc");
    // Long: the length extended by a byte of its own.
    std::string abcd;
    for (int i = 0; i < 28; ++i) {
        abcd += "abcd";
    }
    EXPECT_EQ(decoded(literal("abcd") + copy(108, 4), 112), abcd);
    // A copy from nearer than its length repeats what it writes: one byte back, that byte.
    EXPECT_EQ(decoded(literal("x") + copy(264, 1) + literal("y"), 266),
              std::string(265, 'x') + "y");
    EXPECT_EQ(decoded(literal("ab") + copy(5, 2), 7), "abababa");
}

TEST(Lzf, RefusesCorruptData) {
    const std::string corrupt = "error: the compressed data are corrupt";
    // A copy from before the start.
    EXPECT_EQ(decoded(copy(3, 1), 3), corrupt);
    EXPECT_EQ(decoded(literal("ab") + copy(3, 3), 5), corrupt);
    // Input that ends inside a step: a literal run, a copy's distance, a long copy's length.
    EXPECT_EQ(decoded(literal("abcd").substr(0, 3), 4), corrupt);
    EXPECT_EQ(decoded(literal("ab") + copy(3, 1).substr(0, 1), 5), corrupt);
    EXPECT_EQ(decoded(literal("ab") + copy(20, 1).substr(0, 1), 22), corrupt);
    // Output beyond the size told, or short of it.
    EXPECT_EQ(decoded(literal("ab") + copy(3, 1), 4), corrupt);
    EXPECT_EQ(decoded(literal("ab") + copy(3, 1), 6),
              "error: the compressed data decode to 5 bytes instead of 6");
}

// Some megabytes, so that the output is handed on in several windows and copies reach back
// across their edges, through the writers' compressor.
TEST(Lzf, DecodesWhatTheWritersCompress) {
    std::string bytes;
    std::uint32_t state = 7;
    while (bytes.size() < (std::size_t{3} << 20)) {
        state = state * 1664525u + 1013904223u;
        // Mostly repeats of what came 5,000 bytes earlier, some new bytes among them.
        const bool repeat = bytes.size() >= 5000 && (state >> 28) != 0;
        bytes += repeat ? bytes[bytes.size() - 5000] : static_cast<char>(state >> 20);
    }
    const std::string lzf = lzf_compressed(bytes);
    EXPECT_LT(lzf.size(), bytes.size() / 2);
    // Not EXPECT_EQ: a failure would print megabytes.
    EXPECT_TRUE(decoded(lzf, bytes.size()) == bytes);
}

}  // namespace
