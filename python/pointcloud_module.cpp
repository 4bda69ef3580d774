// The Python module `pointcloud`: the viewer's readers and its drawing, for NumPy arrays.
//
//     xyz, colors = pointcloud.read("bunny.ply")
//     frame = pointcloud.render(xyz, colors, angles=(-15, -30, 0))
//
// Points go in as (N, 3) float32 and colours as (N, 3) uint8; a frame comes out as
// (800, 1024, 3) uint8, rows from the top. render() draws exactly what pointcloud-view draws
// with the same options, through the same routines.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>

#include "common/version.h"
#include "formats/point_file.h"
#include "render/depth_draw.h"
#include "viewer/options.h"
#include "viewer/picture.h"
#include "viewer/shown_cloud.h"

namespace py = pybind11;

namespace {

// The renderer draws into the one frame buffer: one drawing at a time, from whichever thread.
std::mutex drawing_mutex;

std::uint8_t channel(std::uint32_t pixel, int shift) {
    return static_cast<std::uint8_t>(pixel >> shift & 0xFF);
}

py::tuple read_points(const py::object& path) {
    const std::string name = py::module_::import("os").attr("fspath")(path).cast<std::string>();
    ReadResult read;
    {
        py::gil_scoped_release released;
        // The coordinates as the file gives them, rounded to float32 like the arrays that hold
        // them.
        read = read_point_file(name, ReadOptions{Shift::none, nullptr});
    }
    if (!read.error.empty()) {
        throw py::value_error(name + ": " + read.error);
    }
    const std::vector<Point>& points = read.cloud.points;
    const auto count = static_cast<py::ssize_t>(points.size());
    py::array_t<float> xyz({count, py::ssize_t{3}});
    auto xyz_out = xyz.mutable_unchecked<2>();
    for (py::ssize_t i = 0; i < count; ++i) {
        const Point& point = points[static_cast<std::size_t>(i)];
        xyz_out(i, 0) = point.x;
        xyz_out(i, 1) = point.y;
        xyz_out(i, 2) = point.z;
    }
    if (!read.cloud.has_colors) {
        return py::make_tuple(xyz, py::none());
    }
    py::array_t<std::uint8_t> colors({count, py::ssize_t{3}});
    auto colors_out = colors.mutable_unchecked<2>();
    for (py::ssize_t i = 0; i < count; ++i) {
        const auto pixel = static_cast<std::uint32_t>(points[static_cast<std::size_t>(i)].color);
        colors_out(i, 0) = channel(pixel, 16);
        colors_out(i, 1) = channel(pixel, 8);
        colors_out(i, 2) = channel(pixel, 0);
    }
    return py::make_tuple(xyz, colors);
}

// Checks that `array` is an (N, 3) NumPy array of T in the machine's byte order, N being
// `rows` unless that is negative; `what` names it in the error.
template <typename T>
py::array_t<T> checked_rows(const py::handle& array, py::ssize_t rows, const char* what,
                            const char* dtype) {
    if (!py::isinstance<py::array>(array)) {
        throw py::type_error(std::string(what) + " must be a NumPy array of " + dtype +
                             ", shape (N, 3)");
    }
    const auto checked = py::reinterpret_borrow<py::array>(array);
    if (!py::isinstance<py::array_t<T>>(checked)) {
        throw py::type_error(std::string(what) + " must hold " + dtype + ", not " +
                             py::str(checked.dtype()).cast<std::string>());
    }
    if (checked.ndim() != 2 || checked.shape(1) != 3 || (rows >= 0 && checked.shape(0) != rows)) {
        std::string shape;
        for (py::ssize_t axis = 0; axis < checked.ndim(); ++axis) {
            shape += (axis > 0 ? ", " : "") + std::to_string(checked.shape(axis));
        }
        const std::string wanted = rows >= 0 ? "(" + std::to_string(rows) + ", 3)" : "(N, 3)";
        throw py::value_error(std::string(what) + " must have shape " + wanted + ", not (" + shape +
                              ")");
    }
    return py::reinterpret_borrow<py::array_t<T>>(checked);
}

// Sets a field of the viewer's options from the value of render()'s keyword `name`.
using KeywordSetter = void (*)(ViewerOptions& options, const std::string& name,
                               const py::handle& value);

void set_angles(ViewerOptions& options, const std::string& name, const py::handle& value) {
    std::vector<float> angles;
    try {
        angles = value.cast<std::vector<float>>();
    } catch (const py::cast_error&) {
        throw py::type_error(name + " must be three numbers of degrees, (x, y, z)");
    }
    if (angles.size() != 3 || !std::isfinite(angles[0]) || !std::isfinite(angles[1]) ||
        !std::isfinite(angles[2])) {
        throw py::value_error(name + " must be three finite numbers of degrees, (x, y, z)");
    }
    options.angles = ViewAngles{angles[0], angles[1], angles[2]};
}

template <bool ViewerOptions::*field>
void set_flag(ViewerOptions& options, const std::string& name, const py::handle& value) {
    if (!py::isinstance<py::bool_>(value)) {
        throw py::type_error(name + " must be True or False");
    }
    options.*field = value.cast<bool>();
}

void set_up(ViewerOptions& options, const std::string& name, const py::handle& value) {
    if (value.is_none()) {
        options.up = UpAxis::from_format;
        return;
    }
    if (!py::isinstance<py::str>(value)) {
        throw py::type_error(name + " must be 'x', 'y', 'z' or None");
    }
    const auto up = value.cast<std::string>();
    if (up != "x" && up != "y" && up != "z") {
        throw py::value_error(name + " must be 'x', 'y', 'z' or None, not '" + up + "'");
    }
    options.up = up == "x" ? UpAxis::x : up == "y" ? UpAxis::y : UpAxis::z;
}

template <class Number, Number ViewerOptions::*field>
void set_number(ViewerOptions& options, const std::string& name, const py::handle& value,
                double low, double high) {
    double number = 0.0;
    try {
        number = value.cast<double>();
    } catch (const py::cast_error&) {
        throw py::type_error(name + " must be a number");
    }
    if (!(number >= low && number <= high) ||
        (std::is_integral_v<Number> && number != std::floor(number))) {
        throw py::value_error(name + " must be " +
                              (std::is_integral_v<Number> ? "a whole " : "a ") + "number from " +
                              std::to_string(low) + " to " + std::to_string(high));
    }
    options.*field = static_cast<Number>(number);
}

void set_zoom(ViewerOptions& options, const std::string& name, const py::handle& value) {
    set_number<float, &ViewerOptions::zoom>(options, name, value, 1.0 / 64.0, 64.0);
}

void set_edl_strength(ViewerOptions& options, const std::string& name, const py::handle& value) {
    set_number<float, &ViewerOptions::eye_dome_strength>(options, name, value, 0.0, 10000.0);
}

void set_edl_radius(ViewerOptions& options, const std::string& name, const py::handle& value) {
    set_number<int, &ViewerOptions::eye_dome_radius>(options, name, value, 1.0, 8.0);
}

void set_point_size(ViewerOptions& options, const std::string& name, const py::handle& value) {
    if (py::isinstance<py::str>(value) && value.cast<std::string>() == "auto") {
        options.point_size = 0;
        return;
    }
    set_number<int, &ViewerOptions::point_size>(options, name, value, 1.0, largest_point_size);
}

void set_size(ViewerOptions& options, const std::string& name, const py::handle& value) {
    std::vector<int> size;
    try {
        size = value.cast<std::vector<int>>();
    } catch (const py::cast_error&) {
        throw py::type_error(name + " must be two whole numbers, (width, height)");
    }
    if (size.size() != 2 || size[0] < 1 || size[0] > largest_frame_side || size[1] < 1 ||
        size[1] > largest_frame_side) {
        throw py::value_error(name + " must be (width, height), each from 1 to 8192");
    }
    options.width = size[0];
    options.height = size[1];
}

void set_background(ViewerOptions& options, const std::string& name, const py::handle& value) {
    if (!py::isinstance<py::str>(value) ||
        !parse_color(value.cast<std::string>(), options.background)) {
        throw py::value_error(name + " must be a colour's name or '#rrggbb'");
    }
}

void set_edl(ViewerOptions& options, const std::string& name, const py::handle& value) {
    const std::string mode =
        py::isinstance<py::bool_>(value)
            ? (value.cast<bool>() ? "on" : "off")
            : (py::isinstance<py::str>(value) ? value.cast<std::string>() : "");
    if (mode != "on" && mode != "off" && mode != "auto") {
        throw py::value_error(name + " must be True, False, 'on', 'off' or 'auto'");
    }
    options.eye_dome = mode == "on"    ? EyeDomeMode::on
                       : mode == "off" ? EyeDomeMode::off
                                       : EyeDomeMode::automatic;
}

// The keywords of render(), each setting the field of the viewer's options that the option of
// the same name sets on the viewer's command line: a new option is one more line here.
const std::pair<const char*, KeywordSetter> render_keywords[] = {
    {"angles", set_angles},
    {"fit", set_flag<&ViewerOptions::fit>},
    {"up", set_up},
    {"size", set_size},
    {"zoom", set_zoom},
    {"point_size", set_point_size},
    {"background", set_background},
    {"edl", set_edl},
    {"edl_strength", set_edl_strength},
    {"edl_radius", set_edl_radius},
};

// The points as the viewer holds a file's: each colour as a pixel value, 0 where none is given.
// Gives the row of the first coordinate that is not finite, or -1.
py::ssize_t copy_points(const py::array_t<float>& xyz, const py::array_t<std::uint8_t>* colors,
                        std::vector<Point>& points) {
    const auto in = xyz.unchecked<2>();
    points.resize(static_cast<std::size_t>(in.shape(0)));
    for (py::ssize_t i = 0; i < in.shape(0); ++i) {
        Point& point = points[static_cast<std::size_t>(i)];
        point = Point{in(i, 0), in(i, 1), in(i, 2), 0.0f};
        if (!std::isfinite(point.x) || !std::isfinite(point.y) || !std::isfinite(point.z)) {
            return i;
        }
    }
    if (colors != nullptr) {
        const auto rgb = colors->unchecked<2>();
        for (py::ssize_t i = 0; i < rgb.shape(0); ++i) {
            const std::uint32_t pixel = static_cast<std::uint32_t>(rgb(i, 0)) << 16 |
                                        static_cast<std::uint32_t>(rgb(i, 1)) << 8 | rgb(i, 2);
            points[static_cast<std::size_t>(i)].color = static_cast<float>(pixel);
        }
    }
    return -1;
}

// Draws the first frame that pointcloud-view shows of the cloud with `options`, and copies it
// into `rgb` (rows of red, green and blue bytes).
void draw_frame(PointCloud cloud, const ViewerOptions& options, std::uint8_t* rgb) {
    const ShownCloud shown = shown_file("array", std::move(cloud), options);
    const std::lock_guard<std::mutex> lock(drawing_mutex);
    const Picture picture = picture_of(shown, options);
    for (const std::uint32_t pixel : picture.frame.pixels) {
        *rgb++ = channel(pixel, 16);
        *rgb++ = channel(pixel, 8);
        *rgb++ = channel(pixel, 0);
    }
}

py::array_t<std::uint8_t> render_points(const py::handle& xyz_argument,
                                        const py::handle& colors_argument,
                                        const py::kwargs& keywords) {
    const py::array_t<float> xyz = checked_rows<float>(xyz_argument, -1, "xyz", "float32");
    const bool has_colors = !colors_argument.is_none();
    py::array_t<std::uint8_t> colors;
    if (has_colors) {
        colors = checked_rows<std::uint8_t>(colors_argument, xyz.shape(0), "colors", "uint8");
    }
    // The viewer's options before any keyword: those of its command line without options.
    ViewerOptions options;
    options.frames = 1;
    bool point_size_given = false;
    for (const auto& [key, value] : keywords) {
        const std::string name = py::str(key).cast<std::string>();
        bool known = false;
        for (const auto& [keyword, set] : render_keywords) {
            if (name == keyword) {
                set(options, name, value);
                known = true;
                point_size_given = point_size_given || name == "point_size";
            }
        }
        if (!known) {
            throw py::type_error("render() got an unexpected keyword argument '" + name + "'");
        }
    }
    if (!options.fit && !point_size_given) {
        // Coordinates taken as they are draw as the demo draws them, a pixel a point.
        options.point_size = 1;
    }
    py::array_t<std::uint8_t> frame(std::vector<py::ssize_t>{options.height, options.width, 3});
    std::uint8_t* const rgb = frame.mutable_data();
    py::ssize_t bad_row = -1;
    {
        py::gil_scoped_release released;
        PointCloud cloud{{}, {}, {}, {0.0, 0.0, 0.0}, has_colors, false, 0, "array"};
        bad_row = copy_points(xyz, has_colors ? &colors : nullptr, cloud.points);
        if (bad_row < 0) {
            draw_frame(std::move(cloud), options, rgb);
        }
    }
    if (bad_row >= 0) {
        throw py::value_error("xyz[" + std::to_string(bad_row) +
                              "] holds a coordinate that is not a finite number");
    }
    return frame;
}

}  // namespace

PYBIND11_MODULE(pointcloud, module) {
    py::options signatures;
    signatures.disable_function_signatures();
    module.doc() = "Reads point-cloud files and draws points as pointcloud-view does.";
    module.attr("__version__") = pointcloud_version;
    module.def("read", read_points, py::arg("path"),
               "read(path) -> (xyz, colors)\n\n"
               "Reads a PLY, LAS, PCD or text file. xyz is float32 of shape (N, 3), as the file\n"
               "gives the coordinates; colors is uint8 of shape (N, 3), red, green and blue, or\n"
               "None where the file has none. A file that cannot be read raises ValueError\n"
               "saying why.");
    module.def("render", render_points, py::arg("xyz"), py::arg("colors") = py::none(),
               "render(xyz, colors=None, *, angles=(-20, 0, 0), fit=True, up=None,\n"
               "       size=(1024, 800), zoom=1, point_size='auto', background='black',\n"
               "       edl='auto', edl_strength=100, edl_radius=1) -> frame\n\n"
               "Draws the points as pointcloud-view draws them with the same options, into a\n"
               "uint8 array of shape (height, width, 3), rows from the top, each pixel showing\n"
               "the nearest point. xyz is float32 of shape (N, 3); colors uint8 (N, 3), or None\n"
               "to colour by height. angles are the view angles in degrees; fit=False draws the\n"
               "coordinates as they are, the viewer 2000 units in front of the origin, points\n"
               "of one pixel; up names the axis, 'x', 'y' or 'z', that points up (y unless\n"
               "told); zoom starts that many times closer than the fitted view; point_size is\n"
               "1 to 16 pixels or 'auto'; background a colour's name or '#rrggbb'; edl the\n"
               "eye-dome lighting, True, False or 'auto' (on without colours).");
}
