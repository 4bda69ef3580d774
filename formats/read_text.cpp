// Text: a point a line, "x y z [r g b [a]]", the numbers separated by spaces, commas or tabs,
// after an optional header line. In .pts files a first line of one integer is the count, and
// with four or seven columns the fourth is intensity: "x y z i [r g b]".

#include <algorithm>
#include <cmath>
#include <string>

#include "formats/read_support.h"

namespace {

// Where a line's colour starts, decided by the first line of points; -1: none.
int color_column(int columns, bool pts) {
    if (pts && (columns == 4 || columns == 7)) {
        return columns == 7 ? 4 : -1;
    }
    return columns >= 6 ? 3 : -1;
}

bool starts_with_number(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return false;
    }
    const char c = line[first];
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.';
}

bool is_blank(std::string_view line) {
    return line.find_first_not_of(" \t,") == std::string_view::npos;
}

// Colours are 0-1 floats unless a colour value of the file exceeds 1; then every colour is a
// 0-255 integer. Until such a value turns up, channels are kept as 0-1 floats scaled to 255;
// when one does, the channels kept so far are turned into what they are as 0-255 values,
// each 0 or 1.
struct ColorScale {
    bool bytes = false;

    std::uint32_t channel(double value) {
        if (!(value > 0.0)) {
            return 0;
        }
        const double scaled = bytes ? value : value * 255.0;
        return scaled >= 255.0 ? 255u : static_cast<std::uint32_t>(std::lround(scaled));
    }

    void note_bytes(PointCloud& cloud) {
        bytes = true;
        for (Point& point : cloud.points) {
            const auto pixel = static_cast<std::uint32_t>(point.color);
            const auto rounded = [&](int shift) {
                return (pixel >> shift & 0xFFu) >= 128 ? 1u : 0u;
            };
            point.color = color_value(rounded(16), rounded(8), rounded(0));
        }
    }
};

// Room for every line that could hold a point: counted by a first pass over the file, which
// costs little beside parsing it; no line of a point is shorter than "0 0 0".
void reserve_for_lines(ByteSource& source, PointCloud& cloud) {
    std::uint64_t lines = 1;
    source.tell_progress(false);
    while (source.request(1) > 0) {
        const unsigned char* bytes = source.data();
        lines += static_cast<std::uint64_t>(std::count(bytes, bytes + source.available(), '\n'));
        source.advance(source.available());
    }
    reserve_points(cloud, std::min(lines, source.size() / 6 + 1));
    source.rewind();
    source.tell_progress(true);
}

}  // namespace

void read_text(ByteSource& source, const ReadOptions& options, bool pts, PointCloud& cloud) {
    cloud.format = "text";
    reserve_for_lines(source, cloud);
    PointAdder adder(cloud, options);
    ColorScale scale;
    constexpr int max_columns = 8;
    double values[max_columns];
    int color = -1;
    int needed = 0;
    std::uint64_t line_number = 0;
    while (const std::optional<std::string_view> line = source.next_line()) {
        ++line_number;
        if (is_blank(*line) || (line_number == 1 && !starts_with_number(*line))) {
            continue;
        }
        const int columns = parse_numbers(*line, values, max_columns);
        if (needed == 0) {
            // The count that starts a .pts file.
            if (pts && line_number == 1 && columns == 1) {
                continue;
            }
            color = color_column(columns, pts);
            needed = color >= 0 ? color + 3 : 3;
            cloud.has_colors = color >= 0;
        }
        if (columns < 0) {
            fail("line " + with_commas(line_number) + ": a field is not a number");
        }
        if (columns < needed) {
            fail("line " + with_commas(line_number) + ": " + std::to_string(columns) +
                 " numbers where " + std::to_string(needed) + " are needed");
        }
        float pixel = 0.0f;
        if (color >= 0) {
            const double* rgb = values + color;
            if (!scale.bytes && (rgb[0] > 1.0 || rgb[1] > 1.0 || rgb[2] > 1.0)) {
                scale.note_bytes(cloud);
            }
            pixel =
                color_value(scale.channel(rgb[0]), scale.channel(rgb[1]), scale.channel(rgb[2]));
        }
        adder.add(values[0], values[1], values[2], pixel);
    }
    if (needed == 0) {
        fail("no line holds a point");
    }
}
