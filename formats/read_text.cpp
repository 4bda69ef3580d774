// Text: a point a line, in the forms that other tools write. The numbers are parted by spaces,
// tabs, commas or semicolons, and may have decimal commas where commas do not part them; lines
// end with LF, CRLF or CR alone, after an optional byte-order mark. Lines of `#` or `//`
// comments may come anywhere; lines of words and a count line (one whole number) may come
// before the points, and the count lines of .pts blocks between them.
//
// The file's first lines of numbers, a sample, decide once how every line is read: the
// separators, the decimal mark, and the columns of x, y, z and the colour. A line of column
// names above the points gives them where it names x, y and z and holds a name for each number;
// otherwise the first line's count of numbers does: x y z come first, and the colour follows
// them where there are six numbers or more (seven: x y z intensity r g b, as .pts files hold
// them) and the sample holds whole numbers from 0 to 255 there; otherwise (normals, most often)
// there is none. A later line that does not fit is an error.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "formats/read_support.h"

namespace {

// The sample: enough lines to tell normals from colours, few enough to take no time.
constexpr std::size_t sample_lines = 1000;
constexpr std::size_t sample_bytes = std::size_t{256} << 10;

// Any number of columns past this is read as "this many or more".
constexpr int sample_columns = 256;

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// Every character that parts the numbers of some text file; the decimal mark is a point.
const NumberSyntax& any_syntax() {
    static const NumberSyntax syntax = number_syntax(" \t\r\n,;", '.');
    return syntax;
}

std::string_view trimmed(std::string_view line) {
    const std::size_t first = line.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) {
        return {};
    }
    return line.substr(first, line.find_last_not_of(" \t\r\n") - first + 1);
}

bool is_comment(std::string_view line) {
    line = trimmed(line);
    return line.starts_with('#') || line.starts_with("//");
}

std::string_view without_comment_mark(std::string_view line) {
    line = trimmed(line);
    line.remove_prefix(line.starts_with('#') ? 1 : line.starts_with("//") ? 2 : 0);
    return line;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A line of one whole number: a count of the points that follow.
bool is_count(std::string_view line) {
    line = trimmed(line);
    return !line.empty() && std::all_of(line.begin(), line.end(), is_digit);
}

bool is_blank(std::string_view line, const NumberSyntax& syntax) {
    return std::all_of(line.begin(), line.end(),
                       [&](char c) { return syntax.separates[static_cast<unsigned char>(c)]; });
}

bool holds_only_numbers(std::string_view line) {
    double values[sample_columns];
    return parse_numbers(line, values, sample_columns, any_syntax()) > 0;
}

bool starts_with_number(std::string_view line) {
    double value;
    return parse_numbers(line, &value, 1, any_syntax()) == 1;
}

// Bytes that no line of text holds (UTF-8 included): a binary file named as text.
bool holds_control_bytes(std::string_view line) {
    return std::any_of(line.begin(), line.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7F;
    });
}

// The fields of a line parted by any of `separators`, empty ones left out.
std::vector<std::string_view> fields_of(std::string_view line, std::string_view separators) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (start <= line.size()) {
        const std::size_t end = std::min(line.find_first_of(separators, start), line.size());
        if (end > start) {
            fields.push_back(line.substr(start, end - start));
        }
        start = end + 1;
    }
    return fields;
}

std::string lower_case(std::string_view word) {
    std::string lower(word);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return lower;
}

// Where x, y, z and the colour's channels are: a column each, or -1.
struct Columns {
    int x = -1;
    int y = -1;
    int z = -1;
    int red = -1;
    int green = -1;
    int blue = -1;
};

// A line of column names ("x y z red green blue", "//X,Y,Z,R,G,B", "x;y;z;nx;ny;nz"): the
// columns it names and how many names it holds. Names it does not know (normals, intensity,
// any other) are columns left unread.
struct Names {
    Columns columns;
    int count = 0;
    bool parted_by_commas = false;
};

std::optional<Names> names_of(std::string_view line) {
    line = without_comment_mark(line);
    Names names;
    names.parted_by_commas = line.find(',') != std::string_view::npos;
    for (std::string_view field : fields_of(line, " \t\r\n,;")) {
        if (field.size() >= 2 && (field.front() == '"' || field.front() == '\'') &&
            field.back() == field.front()) {
            field = field.substr(1, field.size() - 2);
        }
        const std::string name = lower_case(field);
        const int column = names.count++;
        int* const named = name == "x"                      ? &names.columns.x
                           : name == "y"                    ? &names.columns.y
                           : name == "z"                    ? &names.columns.z
                           : name == "r" || name == "red"   ? &names.columns.red
                           : name == "g" || name == "green" ? &names.columns.green
                           : name == "b" || name == "blue"  ? &names.columns.blue
                                                            : nullptr;
        if (named != nullptr && *named < 0) {
            *named = column;
        }
    }
    if (names.columns.x < 0 || names.columns.y < 0 || names.columns.z < 0) {
        return std::nullopt;
    }
    return names;
}

// What comes before the points, and the first lines of points.
struct Sample {
    // The line of the first point, counted from 1; 0 where no line holds one.
    std::uint64_t first_line = 0;
    // Whether a count line came before the points: a later one starts a block (.pts).
    bool counted = false;
    // The last line above the points that names x, y and z.
    std::optional<Names> names;
    std::vector<std::string> lines;
    // Lines in the whole file.
    std::uint64_t line_count = 0;
};

// Reads the lines above the points and the first lines of points, stopping at the first line
// that holds anything else, then counts the rest of the file's lines.
Sample take_sample(ByteSource& source, char line_end) {
    Sample sample;
    std::uint64_t line_number = 0;
    std::size_t bytes = 0;
    while (sample.lines.size() < sample_lines && bytes < sample_bytes) {
        const std::optional<std::string_view> line = source.next_line();
        if (!line) {
            break;
        }
        ++line_number;
        if (is_blank(*line, any_syntax())) {
            continue;
        }
        const bool above_points = sample.first_line == 0;
        if (is_comment(*line) && !above_points) {
            continue;
        }
        if (is_count(*line) && (above_points || sample.counted)) {
            sample.counted = true;
            continue;
        }
        if (holds_only_numbers(*line)) {
            sample.first_line = above_points ? line_number : sample.first_line;
            sample.lines.emplace_back(*line);
            bytes += line->size();
            continue;
        }
        if (!above_points) {
            break;
        }
        // A line of words never starts with a number: this is a point that is not well written.
        if (starts_with_number(*line)) {
            fail("line " + with_commas(line_number) + ": a field is not a number");
        }
        if (holds_control_bytes(*line)) {
            fail("line " + with_commas(line_number) + ": not text");
        }
        if (std::optional<Names> names = names_of(*line)) {
            sample.names = names;
        }
    }
    // The rest only counted, to reserve room for a point a line.
    while (source.request(1) > 0) {
        const unsigned char* data = source.data();
        line_number +=
            static_cast<std::uint64_t>(std::count(data, data + source.available(), line_end));
        source.advance(source.available());
    }
    sample.line_count = line_number + 1;
    return sample;
}

// Where commas sit inside numbers, a digit on each side, and tabs, spaces or semicolons part
// the numbers ("1,5;2,5;3,5", "1,5 2,5 3,5").
bool commas_mark_decimals(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        const std::vector<std::string_view> fields = fields_of(line, " \t\r\n;");
        if (fields.size() < 3) {
            return false;
        }
        for (const std::string_view field : fields) {
            const std::size_t comma = field.find(',');
            if (comma == std::string_view::npos) {
                continue;
            }
            if (comma == 0 || comma + 1 == field.size() || !is_digit(field[comma - 1]) ||
                !is_digit(field[comma + 1]) || field.find(',', comma + 1) != field.npos ||
                field.find('.') != field.npos) {
                return false;
            }
        }
    }
    return true;
}

NumberSyntax syntax_of(const Sample& sample) {
    const auto has_comma = [](const std::string& line) {
        return line.find(',') != std::string::npos;
    };
    const NumberSyntax commas_part = number_syntax(" \t\r\n,;", '.');
    if (std::none_of(sample.lines.begin(), sample.lines.end(), has_comma) ||
        (sample.names && sample.names->parted_by_commas)) {
        return commas_part;
    }
    // Commas mark decimals only where something else parts the numbers: a line of commas alone
    // ("1,5,2,5,3,5") is six numbers, as every spreadsheet reads it.
    if (commas_mark_decimals(sample.lines)) {
        return number_syntax(" \t\r\n;", ',');
    }
    return commas_part;
}

// How every line of the file is read.
struct Layout {
    NumberSyntax syntax;
    Columns columns{0, 1, 2, -1, -1, -1};
    // The numbers a line must hold.
    int needed = 3;
    // 255 where the colours run from 0 to 1, 1 where they run from 0 to 255.
    double color_scale = 1.0;
};

bool is_whole(double value) { return value == std::floor(value); }

// Whether the sample's values of column `first` and the two after it pass `test`, every one.
template <typename Test>
bool every_value(const std::vector<std::vector<double>>& rows, int first, Test test) {
    return std::all_of(rows.begin(), rows.end(), [&](const std::vector<double>& row) {
        return static_cast<int>(row.size()) < first + 3 ||
               std::all_of(row.begin() + first, row.begin() + first + 3, test);
    });
}

// Colours of 0 to 1 are told by a fraction among them, where no value exceeds 1.
double color_scale_of(const std::vector<std::vector<double>>& rows, const Columns& at) {
    bool fraction = false;
    for (const std::vector<double>& row : rows) {
        for (const int column : {at.red, at.green, at.blue}) {
            const auto index = static_cast<std::size_t>(column);
            if (index < row.size() && row[index] > 1.0) {
                return 1.0;
            }
            fraction = fraction || (index < row.size() && !is_whole(row[index]));
        }
    }
    return fraction ? 255.0 : 1.0;
}

Layout layout_of(const Sample& sample) {
    Layout layout;
    layout.syntax = syntax_of(sample);
    std::vector<std::vector<double>> rows;
    rows.reserve(sample.lines.size());
    for (const std::string& line : sample.lines) {
        std::vector<double> row(sample_columns);
        const int count = parse_numbers(line, row.data(), sample_columns, layout.syntax);
        row.resize(static_cast<std::size_t>(std::max(count, 0)));
        rows.push_back(std::move(row));
    }
    const auto columns = static_cast<int>(rows.front().size());
    Columns& at = layout.columns;
    if (sample.names && sample.names->count == columns) {
        at = sample.names->columns;
        if (at.red < 0 || at.green < 0 || at.blue < 0) {
            at.red = at.green = at.blue = -1;
        }
    } else if (columns >= 6) {
        // Seven are x y z intensity r g b, as .pts files hold them.
        const int red = columns == 7 ? 4 : 3;
        if (every_value(rows, red, [](double value) {
                return is_whole(value) && value >= 0.0 && value <= 255.0;
            })) {
            at.red = red;
        }
    }
    if (at.red >= 0 && at.green < 0) {
        at.green = at.red + 1;
        at.blue = at.red + 2;
    }
    layout.needed = std::max({at.x, at.y, at.z, at.red, at.green, at.blue}) + 1;
    layout.color_scale = at.red >= 0 ? color_scale_of(rows, at) : 1.0;
    return layout;
}

std::uint32_t channel(double value, double scale) {
    if (!(value > 0.0)) {
        return 0;
    }
    const double scaled = value * scale;
    return scaled >= 255.0 ? 255u : static_cast<std::uint32_t>(std::lround(scaled));
}

// The line end of the file: CR where its first line ends with a CR that no LF follows.
char line_end_of(ByteSource& source) {
    source.request(sample_bytes);
    const auto* first = reinterpret_cast<const char*>(source.data());
    const char* const last = first + source.available();
    const char* const end =
        std::find_if(first, last, [](char c) { return c == '\r' || c == '\n'; });
    return end != last && *end == '\r' && (end + 1 == last || end[1] != '\n') ? '\r' : '\n';
}

void skip_byte_order_mark(ByteSource& source) {
    if (source.request(byte_order_mark.size()) >= byte_order_mark.size() &&
        std::memcmp(source.data(), byte_order_mark.data(), byte_order_mark.size()) == 0) {
        source.advance(byte_order_mark.size());
    }
}

std::string numbers_needed(std::uint64_t line_number, int count, int needed) {
    if (count < 0) {
        return "line " + with_commas(line_number) + ": a field is not a number";
    }
    return "line " + with_commas(line_number) + ": " + std::to_string(count) +
           (count == 1 ? " number where " : " numbers where ") + std::to_string(needed) +
           " are needed";
}

}  // namespace

void read_text(ByteSource& source, const ReadOptions& options, PointCloud& cloud) {
    cloud.format = "text";
    const char line_end = line_end_of(source);
    source.split_lines_at(line_end);
    source.tell_progress(false);
    skip_byte_order_mark(source);
    const Sample sample = take_sample(source, line_end);
    if (sample.first_line == 0) {
        fail("no line holds a point");
    }
    const Layout layout = layout_of(sample);
    // No line of a point is shorter than "0 0 0".
    reserve_points(cloud, std::min(sample.line_count, source.size() / 6 + 1));
    source.rewind();
    source.tell_progress(true);
    skip_byte_order_mark(source);

    const Columns at = layout.columns;
    const int needed = layout.needed;
    const bool colored = at.red >= 0;
    const double scale = layout.color_scale;
    cloud.has_colors = colored;
    std::vector<double> numbers(static_cast<std::size_t>(needed));
    double* const values = numbers.data();
    PointAdder adder(cloud, options);
    std::uint64_t line_number = 0;
    while (const std::optional<std::string_view> line = source.next_line()) {
        ++line_number;
        if (line_number < sample.first_line) {
            continue;
        }
        const int count = parse_numbers(*line, values, needed, layout.syntax);
        if (count < needed) [[unlikely]] {
            if (is_blank(*line, layout.syntax) || is_comment(*line) ||
                (sample.counted && is_count(*line))) {
                continue;
            }
            fail(numbers_needed(line_number, count, needed));
        }
        const float pixel =
            colored ? color_value(channel(values[at.red], scale), channel(values[at.green], scale),
                                  channel(values[at.blue], scale))
                    : 0.0f;
        adder.add(values[at.x], values[at.y], values[at.z], pixel);
    }
}
