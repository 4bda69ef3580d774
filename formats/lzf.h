#pragma once

// LZF, the compression of PCD's binary_compressed data: a run of steps, each either a literal
// run (a byte below 32: that many plus one bytes follow) or a copy from the output already
// decoded (the length less 2 in the top three bits, extended by the next byte when they are
// all set, then a distance of up to 8,192 bytes back, which may overlap the copy itself).

#include <cstddef>
#include <cstdint>
#include <functional>

#include "formats/read_support.h"

// What is done with the decoded bytes: `size` of them, which start at `offset` of the output.
using DecodedBytes =
    std::function<void(const unsigned char* bytes, std::size_t size, std::uint64_t offset)>;

// Decodes `in_size` bytes of LZF from `source` into `out_size` bytes, handed on in order, a
// window of up to a megabyte at a time. Fails where the data are corrupt (a step that runs past
// the input or the output, a copy from before the start) or decode to another size.
void decode_lzf(ByteSource& source, std::uint64_t in_size, std::uint64_t out_size,
                const DecodedBytes& take);
