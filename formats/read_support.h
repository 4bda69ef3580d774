#pragma once

// What the readers of point files share: a source of bytes over a file or over memory, read in
// pieces; the decoding of little- and big-endian numbers; the scaling of colour channels and
// intensities; the adding of points with the shift and the count of skipped ones, and of their
// intensities and classes; and the one-line failure that ends a read.

#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "formats/point_file.h"

// Thrown by a reader to end the read with one line saying what is wrong with the file;
// read_point_file and read_point_bytes turn it into ReadResult::error.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& reason) { throw FileError(reason); }

// The bytes of a file, or of memory, from the front, a piece at a time. A file is read into a
// buffer of a few megabytes, or of its size where it is smaller; memory is used where it lies.
class ByteSource {
public:
    static constexpr std::size_t buffer_size = std::size_t{4} << 20;
    // The longest line next_line hands out.
    static constexpr std::size_t max_line = std::size_t{1} << 20;

    ByteSource(const unsigned char* data, std::size_t size);
    ByteSource(std::istream& file, std::uint64_t size, const ReadOptions& options);

    std::uint64_t size() const { return size_; }
    // The offset in the source of data().
    std::uint64_t position() const { return consumed_ + static_cast<std::uint64_t>(next_); }
    std::uint64_t remaining() const { return size_ - position(); }

    const unsigned char* data() const { return base_ + next_; }
    std::size_t available() const { return end_ - next_; }

    // Makes at least `count` bytes (at most buffer_size) available at data(), fewer only where
    // the source ends first; returns how many are available.
    std::size_t request(std::size_t count) {
        return available() >= count ? available() : refill(count);
    }

    void advance(std::size_t count) { next_ += count; }

    // Passes over `count` bytes; fails where the source holds fewer.
    void skip(std::uint64_t count, const char* what);

    // Makes whole records of `record` bytes (at most buffer_size) available at data() and
    // gives how many, at most `wanted`; fails where the source ends inside one, a `what`.
    std::size_t request_records(std::size_t record, std::uint64_t wanted, const char* what);

    // The next line without its end ("\n" or "\r\n"), or nothing at the end of the source.
    // Fails on a line longer than max_line.
    std::optional<std::string_view> next_line();

    // Makes next_line end lines at `line_end` ('\n' unless told otherwise; '\r' for files
    // whose lines end with a carriage return alone).
    void split_lines_at(char line_end) { line_end_ = line_end; }

    // Starts again from the first byte.
    void rewind();

    // Whether reading tells the options' progress routine (a quick first pass over a file that
    // is read twice does not).
    void tell_progress(bool told) { progress_told_ = told; }

private:
    std::size_t refill(std::size_t count);
    void report_progress();

    std::istream* file_ = nullptr;
    std::vector<unsigned char> buffer_;
    const unsigned char* base_ = nullptr;
    std::size_t next_ = 0;
    std::size_t end_ = 0;
    // Bytes of the source before base_.
    std::uint64_t consumed_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t progress_reported_ = 0;
    void (*progress_)(std::uint64_t, std::uint64_t) = nullptr;
    bool progress_told_ = true;
    char line_end_ = '\n';
};

// Loads of numbers stored least significant byte first (little) or most significant first.
inline std::uint16_t load_u16(const unsigned char* p, bool big_endian) {
    return big_endian ? static_cast<std::uint16_t>(p[0] << 8 | p[1])
                      : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
}

inline std::uint32_t load_u32(const unsigned char* p, bool big_endian) {
    std::uint32_t value;
    std::memcpy(&value, p, 4);
    if (big_endian != (std::endian::native == std::endian::big)) {
        value =
            (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
    }
    return value;
}

inline std::uint64_t load_u64(const unsigned char* p, bool big_endian) {
    const std::uint64_t first = load_u32(p, big_endian);
    const std::uint64_t second = load_u32(p + 4, big_endian);
    return big_endian ? first << 32 | second : second << 32 | first;
}

inline float load_f32(const unsigned char* p, bool big_endian) {
    return std::bit_cast<float>(load_u32(p, big_endian));
}

inline double load_f64(const unsigned char* p, bool big_endian) {
    return std::bit_cast<double>(load_u64(p, big_endian));
}

// The numeric types that binary point files store.
enum class NumberType { i8, u8, i16, u16, i32, u32, i64, u64, f32, f64 };

std::size_t size_of(NumberType type);

// One stored number as a double.
inline double load_number(const unsigned char* p, NumberType type, bool big_endian) {
    switch (type) {
        case NumberType::i8:
            return static_cast<std::int8_t>(p[0]);
        case NumberType::u8:
            return p[0];
        case NumberType::i16:
            return static_cast<std::int16_t>(load_u16(p, big_endian));
        case NumberType::u16:
            return load_u16(p, big_endian);
        case NumberType::i32:
            return static_cast<std::int32_t>(load_u32(p, big_endian));
        case NumberType::u32:
            return load_u32(p, big_endian);
        case NumberType::i64:
            return static_cast<double>(static_cast<std::int64_t>(load_u64(p, big_endian)));
        case NumberType::u64:
            return static_cast<double>(load_u64(p, big_endian));
        case NumberType::f32:
            return load_f32(p, big_endian);
        case NumberType::f64:
            return load_f64(p, big_endian);
    }
    return 0.0;
}

// The words of a header line, split at spaces and tabs.
std::vector<std::string_view> words_of(std::string_view line);

// Splits a line into numbers separated by spaces, tabs or commas; returns how many it read
// into `values` (at most `capacity`), or -1 where a field is not a number.
int parse_numbers(std::string_view line, double* values, int capacity);

// How the numbers of a line of text are written: the characters that part them, and the one
// that marks their decimals ('.', or ',' where commas do not part them).
struct NumberSyntax {
    std::array<bool, 256> separates{};
    char decimal_mark = '.';
};

NumberSyntax number_syntax(std::string_view separators, char decimal_mark);

// parse_numbers for numbers written in `syntax`.
int parse_numbers(std::string_view line, double* values, int capacity, const NumberSyntax& syntax);

// The text of the field at `index` (from 0) of a line that parse_numbers splits.
std::string_view field_text(std::string_view line, std::size_t index);

// 0x00RRGGBB as the float that Point::color holds.
inline float color_value(std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    return static_cast<float>(r << 16 | g << 8 | b);
}

// Whether the options shift a cloud whose first finite point is (x, y, z).
inline bool shifts_from(Shift shift, double x, double y, double z) {
    const auto far = [](double value) { return std::fabs(value) > far_coordinate; };
    return shift == Shift::always || (shift == Shift::when_far && (far(x) || far(y) || far(z)));
}

// One colour channel stored as `type`, as 8 bits: 16-bit values keep their high byte, floats
// are fractions of 1 (rounded), and other values are clamped to 0..255.
inline std::uint32_t channel_of(double value, NumberType type) {
    double channel = value;
    if (type == NumberType::u16) {
        channel = value / 256.0;
    } else if (type == NumberType::f32 || type == NumberType::f64) {
        channel = value * 255.0 + 0.5;
    }
    if (!(channel > 0.0)) {
        return 0;
    }
    return channel >= 255.0 ? 255u : static_cast<std::uint32_t>(channel);
}

// Adds points to a cloud: leaves out those with a coordinate that is not finite, or that is
// beyond the range of a float, and shifts the rest, in double precision, by the first finite
// point where the options ask for it.
class PointAdder {
public:
    PointAdder(PointCloud& cloud, const ReadOptions& options)
        : cloud_(cloud), shift_(options.shift), shift_wanted_(options.shift != Shift::none) {}

    // Returns whether the point was kept.
    bool add(double x, double y, double z, float color) {
        if (!(std::isfinite(x) && std::isfinite(y) && std::isfinite(z))) {
            ++cloud_.skipped_points;
            return false;
        }
        if (shift_wanted_) [[unlikely]] {
            if (shifts_from(shift_, x, y, z)) {
                cloud_.shift[0] = x;
                cloud_.shift[1] = y;
                cloud_.shift[2] = z;
            }
            shift_wanted_ = false;
        }
        const Point point{static_cast<float>(x - cloud_.shift[0]),
                          static_cast<float>(y - cloud_.shift[1]),
                          static_cast<float>(z - cloud_.shift[2]), color};
        if (!(std::isfinite(point.x) && std::isfinite(point.y) && std::isfinite(point.z)))
            [[unlikely]] {
            ++cloud_.skipped_points;
            return false;
        }
        cloud_.points.push_back(point);
        return true;
    }

private:
    PointCloud& cloud_;
    Shift shift_;
    bool shift_wanted_;
};

// Keeps the intensity and the class of each point that is kept, where the options ask for them
// and the file has them; otherwise keeps nothing, and the cloud's lists stay empty.
//
// Intensities become 16 bits: 8-bit fields are scaled to the whole range (255 to 65,535), and
// float fields whose values all lie within 0..1 are fractions of it; all others are kept as
// they are, rounded and clamped to 0..65,535. Classes are clamped to 0..255.
class ExtrasKeeper {
public:
    // `intensity` and `classification` say whether to keep each; `intensity_type` is the type
    // the file stores intensities in.
    ExtrasKeeper(PointCloud& cloud, bool intensity, NumberType intensity_type, bool classification);

    bool keeps_any() const { return keep_intensity_ || keep_classification_; }

    void add(double intensity, double classification) {
        if (keep_intensity_) {
            cloud_.intensities.push_back(intensity_of(intensity));
        }
        if (keep_classification_) {
            cloud_.classes.push_back(class_of(classification));
        }
    }

private:
    std::uint16_t intensity_of(double value);
    static std::uint8_t class_of(double value) {
        if (!(value > 0.0)) {
            return 0;
        }
        return value >= 255.0 ? std::uint8_t{255} : static_cast<std::uint8_t>(value);
    }

    PointCloud& cloud_;
    bool keep_intensity_;
    bool keep_classification_;
    NumberType intensity_type_;
    // Float intensities are fractions until a value above 1 turns up.
    bool fractions_ = true;
};

// Reserves room for exactly `count` points once the file is shown to hold them.
void reserve_points(PointCloud& cloud, std::uint64_t count);

// The readers, each past the magic that chose it; each fills `cloud` or fails.
void read_ply(ByteSource& source, const ReadOptions& options, PointCloud& cloud);
void read_las(ByteSource& source, const ReadOptions& options, PointCloud& cloud);
void read_pcd(ByteSource& source, const ReadOptions& options, PointCloud& cloud);
void read_text(ByteSource& source, const ReadOptions& options, PointCloud& cloud);
