// A libFuzzer target over the readers of point files.
//
// The input's first byte picks the name the bytes are read under (its low three bits: one of
// the names below, so that the text and LAZ rules are reached too), whether the points are
// shifted (its bit 3), and whether intensities and classes are kept (bits 4 and 5); the rest is
// the file. It is read twice: from memory, and from a file of that name in a folder of this
// process's own, through the reading of a file a buffer at a time, with its refills, its skips
// by seeking and its buffer's edge at 4 MiB; the two must give the same result. The sanitizers
// catch a read or a write outside a buffer, the per-input time limit a hang, the memory limit
// an allocation of what a header claims, and the checks below results that no file may give.

#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

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

void require_sound_cloud(const PointCloud& cloud, const ReadOptions& options) {
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
    require(!(cloud.has_colors && cloud.colors_all_one_value), "colours both kept and dropped");
    require(cloud.intensities.empty() ||
                (options.keep_intensity && cloud.intensities.size() == cloud.points.size()),
            "intensities not one a point, or not asked for");
    require(cloud.classes.empty() ||
                (options.keep_classification && cloud.classes.size() == cloud.points.size()),
            "classes not one a point, or not asked for");
}

// FNV-1a over 8 bytes at a time (a ragged end byte by byte): enough to tell two results apart.
std::uint64_t digest(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint64_t hash = 14695981039346656037u;
    std::size_t at = 0;
    for (; at + 8 <= size; at += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + at, 8);
        hash = (hash ^ word) * 1099511628211u;
    }
    for (; at < size; ++at) {
        hash = (hash ^ bytes[at]) * 1099511628211u;
    }
    return hash;
}

// All that a read gives, the points, intensities and classes by their digests, so that one
// read's cloud is gone before the other's is made: a compressed file of 16 MiB may honestly
// hold 2 GB of points.
struct ReadSummary {
    std::string error;
    std::string format;
    bool has_colors;
    bool colors_all_one_value;
    std::uint64_t skipped_points;
    double shift[3];
    std::size_t points;
    std::uint64_t points_digest;
    std::uint64_t intensities_digest;
    std::uint64_t classes_digest;

    explicit ReadSummary(const ReadResult& result)
        : error(result.error),
          format(result.cloud.format),
          has_colors(result.cloud.has_colors),
          colors_all_one_value(result.cloud.colors_all_one_value),
          skipped_points(result.cloud.skipped_points),
          shift{result.cloud.shift[0], result.cloud.shift[1], result.cloud.shift[2]},
          points(result.cloud.points.size()),
          points_digest(digest(result.cloud.points.data(), points * sizeof(Point))),
          intensities_digest(digest(result.cloud.intensities.data(),
                                    result.cloud.intensities.size() * sizeof(std::uint16_t))),
          classes_digest(digest(result.cloud.classes.data(), result.cloud.classes.size())) {}
};

void require_same(const ReadSummary& a, const ReadSummary& b) {
    require(a.error == b.error, "another error from the file than from memory");
    require(a.format == b.format && a.has_colors == b.has_colors &&
                a.colors_all_one_value == b.colors_all_one_value &&
                a.skipped_points == b.skipped_points &&
                std::memcmp(a.shift, b.shift, sizeof a.shift) == 0,
            "another description of the cloud from the file than from memory");
    require(a.points == b.points && a.points_digest == b.points_digest,
            "other points from the file than from memory");
    require(a.intensities_digest == b.intensities_digest && a.classes_digest == b.classes_digest,
            "other intensities or classes from the file than from memory");
}

// A folder of this process's own in the temporary folder, removed at the end.
class FileFolder {
public:
    FileFolder()
        : path_(std::filesystem::temp_directory_path() /
                ("fuzz_formats_" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(path_);
    }
    FileFolder(const FileFolder&) = delete;
    FileFolder& operator=(const FileFolder&) = delete;
    ~FileFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

ReadResult read_as_file(const std::uint8_t* data, std::size_t size, const std::string& name,
                        const ReadOptions& options) {
    static const FileFolder folder;
    const std::filesystem::path path = folder.path() / name;
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        require(file.good(), "the input could not be written to a file");
    }
    return read_point_file(path.string(), options);
}

}  // namespace

// The entry point that libFuzzer calls, by its fixed name.
// NOLINTNEXTLINE(readability-identifier-naming)
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string name = names[data[0] & 7];
    const ReadOptions options{(data[0] & 8) != 0 ? Shift::always : Shift::none, nullptr,
                              (data[0] & 16) != 0, (data[0] & 32) != 0};
    const ReadSummary from_memory = [&] {
        const ReadResult result = read_point_bytes(data + 1, size - 1, name, options);
        if (!result.error.empty()) {
            require(result.error.find('\n') == std::string::npos, "an error of more than one line");
            require(result.cloud.points.empty(), "points beside an error");
        } else {
            require_sound_cloud(result.cloud, options);
        }
        return ReadSummary(result);
    }();
    require_same(from_memory, ReadSummary(read_as_file(data + 1, size - 1, name, options)));
    return 0;
}
