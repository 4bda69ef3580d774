// A libFuzzer target over the readers of point files.
//
// The input's first byte picks the name the bytes are read under (its low three bits: one of
// the names below, so that the text and LAZ rules are reached too) and whether the points are
// shifted (its bit 3); the rest is the file. The sanitizers catch a read or a write outside a
// buffer, the per-input time limit a hang, the memory limit an allocation of what a header
// claims, and the checks below results that no file may give.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "formats/point_file.h"

namespace {

constexpr const char* names[] = {"a.ply", "a.las", "a.pcd", "a.xyz",
                                 "a.pts", "a.csv", "a.laz", "a.txt"};

void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_formats: %s\n", what);
        std::abort();
    }
}

void require_sound_cloud(const PointCloud& cloud) {
    require(!cloud.format.empty(), "a cloud without a format");
    for (const Point& point : cloud.points) {
        require(std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.z),
                "a point with a coordinate that is not finite");
        // A pixel value: a whole number of 24 bits, 0 where the file has no colours.
        require(point.color >= 0.0f && point.color <= 16777215.0f &&
                    point.color == std::floor(point.color),
                "a colour that is no pixel value");
        require(cloud.has_colors || point.color == 0.0f, "a colour from a file without any");
    }
}

}  // namespace

// The entry point that libFuzzer calls, by its fixed name.
// NOLINTNEXTLINE(readability-identifier-naming)
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string name = names[data[0] & 7];
    const ReadOptions options{(data[0] & 8) != 0 ? Shift::always : Shift::none, nullptr};
    const ReadResult result = read_point_bytes(data + 1, size - 1, name, options);
    if (!result.error.empty()) {
        require(result.error.find('\n') == std::string::npos, "an error of more than one line");
        require(result.cloud.points.empty(), "points beside an error");
        return 0;
    }
    require_sound_cloud(result.cloud);
    return 0;
}
