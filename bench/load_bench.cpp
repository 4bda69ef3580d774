// The loading of users' files against the floor of reading their bytes: a binary PLY of 20
// million points (x, y, z as floats, RGB as bytes; 300 MB), a text file of 3 million
// georeferenced points with colours, and compressed LAS (LAZ) of 6 million points of a flight
// line (point format 3, chunks of 50,000), whose decoding is the cost, each written once into a
// folder of its own under the temporary folder and read from the page cache. Each load also times a
// plain read of the same file in 4 MB pieces (what `cat` does) right before it, and reports its own
// time as a multiple of that read ("times_read"), and of the filling of as many points in fresh
// memory
// ("times_fill"), the other floor: on a machine whose page faults are slow, faulting in the
// points costs more than reading the file.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "formats/point_file.h"
#include "tests/laz_writer.h"
#include "tests/point_files_writer.h"

namespace {

constexpr std::uint64_t ply_points = 20'000'000;
constexpr std::uint64_t text_points = 3'000'000;
constexpr std::uint64_t laz_points = 6'000'000;

const std::filesystem::path bench_folder =
    std::filesystem::temp_directory_path() / "pointcloud_load_bench";

// A fixed sequence of pseudo-random numbers, so that the files are the same every run.
struct Sequence {
    std::uint32_t state = 12345;
    std::uint32_t next() {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

void write_ply_file(const std::filesystem::path& path) {
    PointSet set;
    set.points.reserve(ply_points);
    Sequence sequence;
    for (std::uint64_t i = 0; i < ply_points; ++i) {
        Point point{};
        for (float* value : {&point.x, &point.y, &point.z}) {
            *value = static_cast<float>(sequence.next()) * 0.001f;
        }
        const std::uint32_t rgb = sequence.next();
        point.color =
            static_cast<float>((rgb & 0xFFu) << 16 | (rgb & 0xFF00u) | (rgb >> 16 & 0xFFu));
        set.points.push_back(point);
    }
    std::ofstream out(path, std::ios::binary);
    write_ply(out, set, PlyLayout{});
}

// Six decimals of metres near (665,000, 5,648,000, 200).
void write_text_file(const std::filesystem::path& path) {
    PointSet set;
    set.points.reserve(text_points);
    Sequence sequence;
    for (std::uint64_t i = 0; i < text_points; ++i) {
        const float x = static_cast<float>(sequence.next() * 1e-4);
        const float y = static_cast<float>(sequence.next() * 1e-4);
        const float z = static_cast<float>(sequence.next() * 1e-5);
        const std::uint32_t r = sequence.next() % 256;
        const std::uint32_t g = sequence.next() % 256;
        const std::uint32_t b = sequence.next() % 256;
        set.points.push_back(Point{x, y, z, static_cast<float>(r << 16 | g << 8 | b)});
    }
    std::ofstream out(path, std::ios::binary);
    write_text(out, set, TextLayout{.offset = {665000.0, 5648000.0, 200.0}, .decimals = 6});
}

// A flight line: points some centimetres apart in rows, with one to three returns a pulse,
// GPS times, intensities and 16-bit colours that drift.
void write_laz(const std::filesystem::path& path) {
    Sequence sequence;
    std::vector<LazWriterPoint> points(laz_points);
    double time = 300000.0;
    for (std::uint64_t i = 0; i < laz_points; ++i) {
        LazWriterPoint& point = points[i];
        const std::uint64_t row = i / 4000;
        point.x = static_cast<std::int32_t>((i % 4000) * 25 + sequence.next() % 9);
        point.y = static_cast<std::int32_t>(row * 30 + sequence.next() % 9);
        point.z = static_cast<std::int32_t>(20000 + (sequence.next() % 600));
        const std::uint32_t returns = 1 + (i / 3) % 3;
        const std::uint32_t number = 1 + i % returns;
        point.return_byte = static_cast<std::uint8_t>(number | returns << 3);
        time += number == 1 ? 0.00001 : 0.0;
        point.gps_time = time;
        point.intensity = static_cast<std::uint16_t>(200 + sequence.next() % 50);
        point.classification = static_cast<std::uint8_t>(2 + (sequence.next() % 16 == 0));
        const std::uint32_t shade = sequence.next();
        for (int channel = 0; channel < 3; ++channel) {
            point.rgb[channel] =
                static_cast<std::uint16_t>(((shade >> (4 * channel)) & 0xF) * 4096);
        }
    }
    LazWriterLayout layout;
    layout.point_format = 3;
    layout.offset[0] = 665000.0;
    layout.offset[1] = 5648000.0;
    std::ofstream(path, std::ios::binary) << laz_file(layout, points);
}

const std::filesystem::path& ply_path() {
    static const std::filesystem::path path = [] {
        std::filesystem::create_directories(bench_folder);
        write_ply_file(bench_folder / "points.ply");
        return bench_folder / "points.ply";
    }();
    return path;
}

const std::filesystem::path& text_path() {
    static const std::filesystem::path path = [] {
        std::filesystem::create_directories(bench_folder);
        write_text_file(bench_folder / "points.xyz");
        return bench_folder / "points.xyz";
    }();
    return path;
}

const std::filesystem::path& laz_path() {
    static const std::filesystem::path path = [] {
        std::filesystem::create_directories(bench_folder);
        write_laz(bench_folder / "points.laz");
        return bench_folder / "points.laz";
    }();
    return path;
}

// The floor: every byte of the file read into a buffer of 4 MB, piece after piece.
std::uint64_t read_plainly(const std::filesystem::path& path) {
    static std::vector<char> buffer(std::size_t{4} << 20);
    std::ifstream in(path, std::ios::binary);
    std::uint64_t total = 0;
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        total += static_cast<std::uint64_t>(in.gcount());
        benchmark::DoNotOptimize(buffer.data());
    }
    return total;
}

// The other floor: as many points written into memory fresh from the system.
std::uint64_t fill_points(std::uint64_t count) {
    std::vector<Point> points;
    points.reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto value = static_cast<float>(i);
        points.push_back(Point{value, value, value, value});
    }
    benchmark::DoNotOptimize(points.data());
    return points.size();
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void plain_read(benchmark::State& state, const std::filesystem::path& path) {
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        bytes = read_plainly(path);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

void load(benchmark::State& state, const std::filesystem::path& path, std::uint64_t points) {
    double read_seconds = 0.0;
    double fill_seconds = 0.0;
    double load_seconds = 0.0;
    // The processor time of the whole process, every thread, as std::clock gives it on POSIX.
    double load_processor_seconds = 0.0;
    const std::string name = path.string();
    for (auto _ : state) {
        state.PauseTiming();
        auto start = std::chrono::steady_clock::now();
        read_plainly(path);
        read_seconds += seconds_since(start);
        start = std::chrono::steady_clock::now();
        fill_points(points);
        fill_seconds += seconds_since(start);
        state.ResumeTiming();
        start = std::chrono::steady_clock::now();
        const std::clock_t processor_start = std::clock();
        const ReadResult result = read_point_file(name, ReadOptions{Shift::always, nullptr});
        load_processor_seconds +=
            static_cast<double>(std::clock() - processor_start) / CLOCKS_PER_SEC;
        load_seconds += seconds_since(start);
        if (!result.error.empty() || result.cloud.points.size() != points) {
            state.SkipWithError(("the file did not load: " + result.error).c_str());
        }
    }
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(std::filesystem::file_size(path)));
    const double points_read =
        static_cast<double>(points) * static_cast<double>(state.iterations());
    state.counters["points_per_second"] = points_read / load_seconds;
    // A second of one processor: what the load costs wherever other work shares the machine.
    state.counters["points_per_processor_second"] = points_read / load_processor_seconds;
    state.counters["times_read"] = load_seconds / read_seconds;
    state.counters["times_fill"] = load_seconds / fill_seconds;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("plain_read/ply", [](benchmark::State& state) {
        plain_read(state, ply_path());
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("load/ply", [](benchmark::State& state) {
        load(state, ply_path(), ply_points);
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("plain_read/text", [](benchmark::State& state) {
        plain_read(state, text_path());
    })->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("load/text", [](benchmark::State& state) {
        load(state, text_path(), text_points);
    })->Unit(benchmark::kMillisecond);

    benchmark::RegisterBenchmark("load/laz", [](benchmark::State& state) {
        load(state, laz_path(), laz_points);
    })->Unit(benchmark::kMillisecond);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(bench_folder, ignored);
    return 0;
}
