// Writes inputs for fuzz_formats larger than the 4 MiB buffer through which a file is read, so
// that fuzzing starts from files that cross its edge, and that skip by seeking over more than
// it holds: a LAS file whose points lie 4.5 MB after its header, a PLY file with an element of
// 4.5 MB before its vertices, and a file of each format of 4.3 to 5 MB, no larger, since each
// run of an input takes time in proportion to its size. They are made, not kept in the
// repository: `write_large_inputs FOLDER`.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/point_files_writer.h"

namespace {

// The first byte of an input picks the name it is read under (see fuzz_formats.cpp).
enum Name : char { ply = 0, las = 1, pcd = 2, xyz = 3 };

PointSet points(std::size_t count) {
    PointSet set;
    std::uint32_t state = 1;
    for (std::size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        const auto step = static_cast<float>(i);
        set.points.push_back(Point{step * 0.5f, step * 0.25f - 1000.0f,
                                   static_cast<float>(state >> 20),
                                   static_cast<float>(state >> 8)});
        set.intensities.push_back(static_cast<std::uint16_t>(state >> 16));
        set.classes.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    return set;
}

void write(const std::filesystem::path& folder, const char* file, Name name,
           const std::string& bytes) {
    std::ofstream out(folder / file, std::ios::binary);
    out.put(name);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A LAS file whose header says that the points start `gap` bytes further on.
std::string las_with_gap(const PointSet& set, std::uint32_t gap) {
    std::string bytes = las_bytes(set, {});
    std::uint32_t offset = 0;
    std::memcpy(&offset, bytes.data() + 96, 4);
    offset += gap;
    std::memcpy(bytes.data() + 96, &offset, 4);
    return bytes.insert(227, gap, '\x5A');
}

// A PLY file with an element of `size` bytes before its vertices.
std::string ply_with_element_before(const PointSet& set, std::size_t size) {
    std::string bytes = ply_bytes(set, {});
    const std::string element = "element blob " + std::to_string(size) + "\nproperty uchar byte\n";
    bytes.insert(bytes.find("element vertex"), element);
    return bytes.insert(bytes.find("end_header\n") + 11, size, '\x01');
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: write_large_inputs FOLDER\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    const PointSet some = points(1'000);
    write(folder, "las_points_after_4_5_mb", las, las_with_gap(some, 4'500'000));
    write(folder, "las_1_4_format_7", las,
          las_bytes(points(115'000), {.minor = 4, .point_format = 7, .extra_bytes = 3}));
    write(folder, "ply_element_of_4_5_mb_first", ply, ply_with_element_before(some, 4'500'000));
    write(
        folder, "ply_binary_big_endian", ply,
        ply_bytes(points(215'000), {.format = "binary_big_endian", .channels = ChannelType::u16}));
    write(folder, "ply_ascii", ply, ply_bytes(points(115'000), {.format = "ascii"}));
    write(folder, "pcd_binary", pcd, pcd_bytes(points(195'000), {.color = PcdColor::channels}));
    write(folder, "pcd_ascii", pcd, pcd_bytes(points(115'000), {.data = "ascii"}));
    write(folder, "pcd_binary_compressed", pcd,
          pcd_bytes(points(215'000), {.data = "binary_compressed", .normals = true}));
    write(folder, "text", xyz, text_bytes(points(160'000), {}));
    return 0;
}
