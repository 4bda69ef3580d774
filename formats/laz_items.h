#pragma once

// The decoders of a chunk of compressed LAS points, item by item, as the LAZ record lists the
// items of a point record.
//
// Pointwise chunks (items of version 2: POINT10, GPSTIME11, RGB12, BYTE) send every item of a
// point, point after point, in one arithmetic stream. Layered chunks (items of version 3: POINT14,
// RGB14, RGBNIR14, BYTE14, WAVEPACKET14) send each attribute in a stream of its own, a layer, so
// that the attributes the viewer does not draw are passed over: only x and y, z and the colours
// are decoded. Every chunk starts with its first point stored raw.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

enum class LazItemType : std::uint16_t {
    byte = 0,
    point10 = 6,
    gps_time11 = 7,
    rgb12 = 8,
    wave_packet13 = 9,
    point14 = 10,
    rgb14 = 11,
    rgb_nir14 = 12,
    wave_packet14 = 13,
    byte14 = 14,
};

struct LazItem {
    LazItemType type;
    // Bytes in the point record.
    std::uint16_t size;
    std::uint16_t version;
};

// What the viewer takes from a point: its coordinates as the file stores them, and its colour
// (0 where the file has none).
struct LazPoint {
    std::int32_t x, y, z;
    std::uint16_t red, green, blue;
};

// The context models of a point's return counts: the return map and the return level of
// pointwise chunks (up to 7 returns), indexed [number of returns][return number].
extern const std::uint8_t point10_return_map[8][8];
extern const std::uint8_t point10_return_level[8][8];
// The return map of layered chunks (up to 15 returns), folded into 6 contexts.
extern const std::uint8_t point14_return_map[16][16];

// The median of the last five values added, which predicts the next.
struct Median5 {
    std::int32_t values[5];
    bool high;
    void reset() { *this = Median5{{0, 0, 0, 0, 0}, true}; }
    void add(std::int32_t value);
    std::int32_t get() const { return values[2]; }
};

// The decoder of one chunk after another, kept by one thread for the whole file.
class ChunkDecoder {
public:
    virtual ~ChunkDecoder() = default;
    // Decodes the `count` points of a chunk from its `size` bytes into `points`. Returns null,
    // or where the bytes do not hold the points, why (without the chunk's number).
    virtual const char* decode(const unsigned char* bytes, std::size_t size, std::uint32_t count,
                               LazPoint* points) = 0;
};

// The decoder for the items of a point record: pointwise (version 2) or layered (version 3).
// The items are those that the reader accepted.
std::unique_ptr<ChunkDecoder> make_chunk_decoder(const std::vector<LazItem>& items, bool layered);
