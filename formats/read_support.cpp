#include "formats/read_support.h"

#include <algorithm>
#include <charconv>
#include <new>

namespace {

// The viewer hears of the read's progress after every so many bytes, and at the end.
constexpr std::uint64_t progress_step = std::uint64_t{16} << 20;

// The common number, "-123.456", without from_chars, and to the same bits: its digits as an
// integer below 2^53 and a power of ten up to 10^22 are both exact doubles, so the one
// division rounds once, correctly. Any other (more digits, an exponent) is left to from_chars.
bool parse_plain_decimal(const char*& p, const char* end, char decimal_mark, double& value) {
    static constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const char* s = p;
    const bool negative = s != end && *s == '-';
    s += negative ? 1 : 0;
    std::uint64_t digits = 0;
    int digit_count = 0;
    int fraction_digits = 0;
    for (; s != end && *s >= '0' && *s <= '9'; ++s, ++digit_count) {
        digits = digits * 10 + static_cast<std::uint64_t>(*s - '0');
    }
    if (s != end && *s == decimal_mark) {
        for (++s; s != end && *s >= '0' && *s <= '9'; ++s, ++digit_count, ++fraction_digits) {
            digits = digits * 10 + static_cast<std::uint64_t>(*s - '0');
        }
    }
    // Fifteen digits stay below 2^53; at most 22 of them can be fraction digits.
    if (digit_count == 0 || digit_count > 15 || (s != end && (*s == 'e' || *s == 'E'))) {
        return false;
    }
    const double magnitude = static_cast<double>(digits) / powers_of_ten[fraction_digits];
    value = negative ? -magnitude : magnitude;
    p = s;
    return true;
}

// from_chars over the number at `p`, whose decimal mark is a comma: it reads points only.
std::from_chars_result parse_with_decimal_comma(const char* p, const char* end,
                                                const NumberSyntax& syntax, double& value) {
    char number[64];
    std::size_t length = 0;
    for (; p + length != end && !syntax.separates[static_cast<unsigned char>(p[length])];
         ++length) {
        if (length == sizeof number) {
            return {p, std::errc::invalid_argument};
        }
        number[length] = p[length] == ',' ? '.' : p[length];
    }
    const auto [after, status] = std::from_chars(number, number + length, value);
    return {p + (after - number), status};
}

std::string_view without_carriage_return(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

}  // namespace

std::string with_commas(std::uint64_t value) {
    std::string digits = std::to_string(value);
    for (std::size_t i = digits.size(); i > 3; i -= 3) {
        digits.insert(i - 3, 1, ',');
    }
    return digits;
}

std::size_t size_of(NumberType type) {
    switch (type) {
        case NumberType::i8:
        case NumberType::u8:
            return 1;
        case NumberType::i16:
        case NumberType::u16:
            return 2;
        case NumberType::i32:
        case NumberType::u32:
        case NumberType::f32:
            return 4;
        case NumberType::i64:
        case NumberType::u64:
        case NumberType::f64:
            return 8;
    }
    return 0;
}

std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t start = 0;
    while (start < line.size()) {
        const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
        if (end > start) {
            words.push_back(line.substr(start, end - start));
        }
        start = end + 1;
    }
    return words;
}

NumberSyntax number_syntax(std::string_view separators, char decimal_mark) {
    NumberSyntax syntax;
    for (const char c : separators) {
        syntax.separates[static_cast<unsigned char>(c)] = true;
    }
    syntax.decimal_mark = decimal_mark;
    return syntax;
}

namespace {

// How the readers of PLY and PCD write their numbers: parted by spaces, tabs or commas.
const NumberSyntax& plain_syntax() {
    static const NumberSyntax plain = number_syntax(" \t,\r", '.');
    return plain;
}

}  // namespace

int parse_numbers(std::string_view line, double* values, int capacity) {
    return parse_numbers(line, values, capacity, plain_syntax());
}

int parse_numbers(std::string_view line, double* values, int capacity, const NumberSyntax& syntax) {
    const auto separates = [&](char c) { return syntax.separates[static_cast<unsigned char>(c)]; };
    const char* p = line.data();
    const char* const end = p + line.size();
    int count = 0;
    while (count < capacity) {
        while (p != end && separates(*p)) {
            ++p;
        }
        if (p == end) {
            break;
        }
        // from_chars takes no leading plus.
        if (*p == '+' && end - p > 1 && *(p + 1) != '-') {
            ++p;
        }
        if (!parse_plain_decimal(p, end, syntax.decimal_mark, values[count])) {
            const auto [after, status] =
                syntax.decimal_mark == '.'
                    ? std::from_chars(p, end, values[count])
                    : parse_with_decimal_comma(p, end, syntax, values[count]);
            // Out of range: a number too large for a double, taken as infinite.
            if (status == std::errc::result_out_of_range) {
                values[count] = *p == '-' ? -HUGE_VAL : HUGE_VAL;
            } else if (status != std::errc()) {
                return -1;
            }
            p = after;
        }
        if (p != end && !separates(*p)) {
            return -1;
        }
        ++count;
    }
    return count;
}

std::string_view field_text(std::string_view line, std::size_t index) {
    const auto is_separator = [](char c) {
        return plain_syntax().separates[static_cast<unsigned char>(c)];
    };
    std::size_t start = 0;
    for (std::size_t field = 0;; ++field) {
        while (start < line.size() && is_separator(line[start])) {
            ++start;
        }
        std::size_t end = start;
        while (end < line.size() && !is_separator(line[end])) {
            ++end;
        }
        if (field == index || end == start) {
            return line.substr(start, end - start);
        }
        start = end;
    }
}

ExtrasKeeper::ExtrasKeeper(PointCloud& cloud, bool intensity, NumberType intensity_type,
                           bool classification)
    : cloud_(cloud),
      keep_intensity_(intensity),
      keep_classification_(classification),
      intensity_type_(intensity_type) {}

std::uint16_t ExtrasKeeper::intensity_of(double value) {
    const auto clamped = [](double scaled) {
        if (!(scaled > 0.0)) {
            return std::uint16_t{0};
        }
        return scaled >= 65535.0 ? std::uint16_t{65535} : static_cast<std::uint16_t>(scaled);
    };
    switch (intensity_type_) {
        case NumberType::u8:
        case NumberType::i8:
            return clamped(value * 257.0);
        case NumberType::f32:
        case NumberType::f64:
            if (fractions_ && value > 1.0) {
                // The earlier values were not fractions after all: they become what they are,
                // rounded, 0 or 1.
                fractions_ = false;
                for (std::uint16_t& earlier : cloud_.intensities) {
                    earlier = earlier >= 32768 ? 1 : 0;
                }
            }
            return clamped(fractions_ ? value * 65535.0 + 0.5 : value + 0.5);
        default:
            return clamped(value + 0.5);
    }
}

void reserve_points(PointCloud& cloud, std::uint64_t count) {
    try {
        cloud.points.reserve(static_cast<std::size_t>(count));
    } catch (const std::length_error&) {
        fail("not enough memory for " + with_commas(count) + " points");
    } catch (const std::bad_alloc&) {
        fail("not enough memory for " + with_commas(count) + " points");
    }
}

std::size_t ByteSource::request_records(std::size_t record, std::uint64_t wanted,
                                        const char* what) {
    if (request(record) < record) {
        fail(std::string("truncated: the file ends inside a ") + what);
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(wanted, available() / record));
}

ByteSource::ByteSource(const unsigned char* data, std::size_t size)
    : base_(data), end_(size), size_(size) {}

ByteSource::ByteSource(std::istream& file, std::uint64_t size, const ReadOptions& options)
    // A file smaller than the buffer needs no more room than its size.
    : file_(&file),
      buffer_(static_cast<std::size_t>(std::min<std::uint64_t>(buffer_size, size))),
      size_(size),
      progress_(options.progress) {
    base_ = buffer_.data();
}

std::size_t ByteSource::refill(std::size_t count) {
    if (file_ == nullptr) {
        return available();
    }
    const std::size_t kept = available();
    std::memmove(buffer_.data(), buffer_.data() + next_, kept);
    consumed_ += next_;
    next_ = 0;
    end_ = kept;
    // Never past the size the file had when it was opened, whatever it holds now.
    const std::uint64_t left = size_ - (consumed_ + end_);
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - end_, left));
    if (wanted > 0 && count > end_) {
        file_->read(reinterpret_cast<char*>(buffer_.data() + end_),
                    static_cast<std::streamsize>(wanted));
        end_ += static_cast<std::size_t>(file_->gcount());
        report_progress();
    }
    return available();
}

void ByteSource::report_progress() {
    const std::uint64_t read = consumed_ + end_;
    if (progress_ != nullptr && progress_told_ &&
        (read - progress_reported_ >= progress_step || read == size_)) {
        progress_reported_ = read;
        progress_(read, size_);
    }
}

void ByteSource::skip(std::uint64_t count, const char* what) {
    if (count > remaining()) {
        fail(std::string("truncated: ") + what + " needs " + with_commas(count) + " bytes and " +
             with_commas(remaining()) + " follow");
    }
    if (count <= available()) {
        advance(static_cast<std::size_t>(count));
        return;
    }
    consumed_ = position() + count;
    next_ = 0;
    end_ = 0;
    file_->clear();
    file_->seekg(static_cast<std::streamoff>(consumed_));
}

std::optional<std::string_view> ByteSource::next_line() {
    for (;;) {
        const std::size_t held = available();
        const auto* start = reinterpret_cast<const char*>(data());
        // The limit holds wherever the line ends, so that a file and its bytes in memory, whose
        // buffers reach differently far, say the same.
        const void* found =
            held == 0 ? nullptr : std::memchr(start, line_end_, std::min(held, max_line + 1));
        if (found != nullptr) {
            const auto length = static_cast<std::size_t>(static_cast<const char*>(found) - start);
            advance(length + 1);
            return without_carriage_return(std::string_view(start, length));
        }
        if (held > max_line) {
            fail("a line is longer than " + with_commas(max_line) + " bytes");
        }
        if (request(held + 1) <= held) {
            // The end of the source: its last line has no end of its own.
            if (held == 0) {
                return std::nullopt;
            }
            const auto* last = reinterpret_cast<const char*>(data());
            advance(held);
            return without_carriage_return(std::string_view(last, held));
        }
    }
}

void ByteSource::rewind() {
    if (file_ == nullptr) {
        next_ = 0;
        return;
    }
    file_->clear();
    file_->seekg(0);
    consumed_ = 0;
    next_ = 0;
    end_ = 0;
    progress_reported_ = 0;
}
