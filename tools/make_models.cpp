// Builds the two point models that the program carries in its initialised data, the rhinoceros
// and the landscape, and writes them as one C++ source file:
//
//     make_models <output.cpp>
//
// Its output is committed as scene/models_data.cpp, so that every build (the Windows cross-build
// included) compiles the same numbers; a test reruns this program and checks that it still writes
// exactly those bytes. Everything here is deterministic: no clock, no standard random
// distributions, only a fixed-seed generator of our own.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

namespace {

struct Position {
    double x;
    double y;
    double z;
};

// A position as the program stores it.
struct Stored {
    float x;
    float y;
    float z;
};

constexpr double two_pi = 2.0 * std::numbers::pi;

struct Range {
    float low;
    float high;
};

// The exact stored extent of a model.
struct Box {
    Range x;
    Range y;
    Range z;
};

constexpr Box rhino_box{
    {-0.98339796f, 0.98339796f}, {-0.42795599f, 0.44155097f}, {-0.27197993f, 0.27033198f}};
constexpr Box scenery_box{{-216.628f, 294.894f}, {-19.4565f, 184.146f}, {-120.131f, 581.594f}};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "make_models: %s\n", what.c_str());
    std::exit(1);
}

double lerp(double from, double to, double t) { return from * (1.0 - t) + to * t; }

double bump(double x, double centre, double width) {
    double u = (x - centre) / width;
    return std::exp(-u * u);
}

// splitmix64: the same sequence on every platform, unlike the standard distributions.
struct Random {
    std::uint64_t state;
};

double next_unit(Random& random) {
    random.state += 0x9E3779B97F4A7C15u;
    std::uint64_t z = random.state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1p-53;
}

double next_between(Random& random, double low, double high) {
    return lerp(low, high, next_unit(random));
}

// ---------------------------------------------------------------------------------------------
// Rings. Every surface of the rhinoceros is a stack of elliptical rings; a ring lies in the plane
// spanned by a unit direction `across` in the x-y plane and by the z axis.

struct Ring {
    Position centre;
    double across_x;
    double across_y;
    double radius_across;
    double radius_z;
};

// The point of a ring at `turn` (a fraction of a full turn) from its `across` direction.
Position ring_point(const Ring& ring, double turn) {
    double angle = two_pi * turn;
    double along_across = ring.radius_across * std::cos(angle);
    return {ring.centre.x + along_across * ring.across_x,
            ring.centre.y + along_across * ring.across_y,
            ring.centre.z + ring.radius_z * std::sin(angle)};
}

// `offset` turns the ring by a fraction of the spacing of its points, to stagger neighbours.
void add_ring(std::vector<Position>& points, const Ring& ring, int count, double offset) {
    for (int j = 0; j < count; ++j) {
        points.push_back(ring_point(ring, (j + offset) / count));
    }
}

struct Planar {
    double x;
    double y;
};

// A limb (leg, neck, head, horn, ear, tail) follows a cubic curve in the x-y plane at height z:
// from the first of its four `curve` points, pulled towards the second and third, to the fourth.
// Its radius changes linearly from `radius_start` to `radius_end`; a rounded end closes like the
// end of an ellipsoid over the last `rounding` of its length.
struct Limb {
    double z;
    std::array<Planar, 4> curve;
    double radius_start;
    double radius_end;
    double width_ratio;  // radius along z over radius across the curve
    double rounding;
};

Position limb_centre(const Limb& limb, double t) {
    double u = 1.0 - t;
    std::array<double, 4> weight{u * u * u, 3.0 * u * u * t, 3.0 * u * t * t, t * t * t};
    Position centre{0.0, 0.0, limb.z};
    for (std::size_t k = 0; k < 4; ++k) {
        centre.x += weight[k] * limb.curve[k].x;
        centre.y += weight[k] * limb.curve[k].y;
    }
    return centre;
}

Ring limb_ring(const Limb& limb, double t) {
    double u = 1.0 - t;
    std::array<double, 3> weight{3.0 * u * u, 6.0 * u * t, 3.0 * t * t};
    double tangent_x = 0.0;
    double tangent_y = 0.0;
    for (std::size_t k = 0; k < 3; ++k) {
        tangent_x += weight[k] * (limb.curve[k + 1].x - limb.curve[k].x);
        tangent_y += weight[k] * (limb.curve[k + 1].y - limb.curve[k].y);
    }
    double length = std::hypot(tangent_x, tangent_y);
    double radius = lerp(limb.radius_start, limb.radius_end, t);
    if (limb.rounding > 0.0 && t > 1.0 - limb.rounding) {
        double s = (t - (1.0 - limb.rounding)) / limb.rounding;
        radius *= std::sqrt(1.0 - s * s);
    }
    return {limb_centre(limb, t), -tangent_y / length, tangent_x / length, radius,
            radius * limb.width_ratio};
}

// Rings from the start of the limb up to, not including, its end.
void add_limb(std::vector<Position>& points, const Limb& limb, int rings, int per_ring) {
    for (int i = 0; i < rings; ++i) {
        add_ring(points, limb_ring(limb, static_cast<double>(i) / rings), per_ring, 0.5 * (i % 2));
    }
}

// A limb that narrows to a point and ends in it: a horn, an ear.
void add_pointed_limb(std::vector<Position>& points, const Limb& limb, int rings, int per_ring) {
    add_limb(points, limb, rings, per_ring);
    points.push_back(limb_centre(limb, 1.0));
}

// ---------------------------------------------------------------------------------------------
// The rhinoceros, in units of its own: head towards -x, back towards +y, soles on the plane
// y = sole_y, body width along z. It is fitted to its exact stored ranges afterwards.

constexpr int rhino_count = 13'997;
constexpr double sole_y = -0.43;

// The barrel of the body runs along x. Seen from the side its outline is the line of the back,
// with the hump over the shoulders, and the line of the belly; its ends are rounded off.
constexpr double body_front = -0.56;
constexpr double body_back = 0.76;

double back_height(double x) {
    return 0.29 + 0.15 * bump(x, -0.28, 0.20) + 0.05 * bump(x, 0.48, 0.22);
}

double belly_height(double x) {
    double u = (x - 0.08) / 0.66;
    return -0.14 + 0.10 * u * u;
}

double body_half_width(double x) {
    double u = (x - 0.05) / 0.70;
    return 0.27 - 0.08 * u * u;
}

// Over the last 30% of its half-length at each end, the barrel closes like an ellipsoid.
double body_end_taper(double x) {
    constexpr double rounded = 0.3;
    double u = std::abs(2.0 * (x - body_front) / (body_back - body_front) - 1.0);
    double s = std::max(0.0, (u - (1.0 - rounded)) / rounded);
    return std::sqrt(1.0 - s * s);
}

void add_body(std::vector<Position>& points, int rings, int per_ring) {
    for (int i = 0; i < rings; ++i) {
        double x = lerp(body_front, body_back, (i + 0.5) / rings);
        double top = back_height(x);
        double bottom = belly_height(x);
        double taper = body_end_taper(x);
        Ring ring{{x, 0.5 * (top + bottom), 0.0},
                  0.0,
                  1.0,
                  0.5 * (top - bottom) * taper,
                  body_half_width(x) * taper};
        add_ring(points, ring, per_ring, 0.5 * (i % 2));
    }
}

// A leg is a column from just inside the belly down to the ground, closed by a flat sole of
// concentric rings. `knee` moves the middle of the leg forwards (negative) or backwards.
void add_leg(std::vector<Position>& points, double x, double z, double knee, double radius) {
    double top = belly_height(x) + 0.04;
    // the curve ends straight down, so that its last ring lies flat on the ground
    Limb leg{
        z,
        {{{x, top}, {x + knee, lerp(top, sole_y, 0.4)}, {x, lerp(top, sole_y, 0.75)}, {x, sole_y}}},
        radius,
        0.8 * radius,
        1.0,
        0.0};
    constexpr int rings = 26;
    constexpr int per_ring = 28;
    add_limb(points, leg, rings, per_ring);
    add_ring(points, limb_ring(leg, 1.0), per_ring, 0.5 * (rings % 2));
    constexpr int sole_rings = 4;
    for (int k = 1; k <= sole_rings; ++k) {
        double radius_k = leg.radius_end * k / (sole_rings + 1);
        add_ring(points, {{x, sole_y, z}, 1.0, 0.0, radius_k, radius_k}, 6 * k, 0.5 * (k % 2));
    }
    points.push_back({x, sole_y, z});
}

// The tail hangs from the top of the rump, out and down. It is wound as one spiral from root to
// tip whose number of points is whatever the rest of the animal leaves of the point budget.
void add_tail(std::vector<Position>& points, int count) {
    Limb tail{0.0, {{{0.73, 0.26}, {0.80, 0.25}, {0.85, 0.13}, {0.87, -0.02}}}, 0.024, 0.008, 0.8,
              0.0};
    constexpr double turns_per_point = 0.15;
    for (int i = 0; i < count - 1; ++i) {
        double t = static_cast<double>(i) / (count - 1);
        points.push_back(ring_point(limb_ring(tail, t), i * turns_per_point));
    }
    points.push_back(limb_centre(tail, 1.0));
}

std::vector<Position> build_rhino() {
    std::vector<Position> points;
    add_body(points, 100, 64);
    // the neck starts where the rounded front of the body has narrowed to its width
    Limb neck{0.0, {{{-0.47, 0.19}, {-0.52, 0.19}, {-0.57, 0.18}, {-0.62, 0.16}}}, 0.22, 0.17, 0.95,
              0.0};
    add_limb(points, neck, 10, 60);
    // the head is long and held low; it ends in a broad, rounded muzzle
    Limb head{0.0, {{{-0.56, 0.20}, {-0.68, 0.14}, {-0.81, 0.00}, {-0.93, -0.13}}}, 0.16, 0.10, 0.8,
              0.15};
    add_limb(points, head, 44, 48);
    Limb front_horn{
        0.0, {{{-0.85, 0.00}, {-0.89, 0.09}, {-0.94, 0.17}, {-0.99, 0.24}}}, 0.065, 0.0, 0.8, 0.0};
    add_pointed_limb(points, front_horn, 26, 20);
    Limb back_horn{
        0.0, {{{-0.74, 0.07}, {-0.75, 0.12}, {-0.765, 0.17}, {-0.785, 0.22}}}, 0.05, 0.0, 0.8, 0.0};
    add_pointed_limb(points, back_horn, 16, 16);
    for (double side : {-1.0, 1.0}) {
        Limb ear{side * 0.09, {{{-0.60, 0.30}, {-0.61, 0.35}, {-0.60, 0.39}, {-0.58, 0.43}}},
                 0.045,       0.0,
                 0.6,         0.0};
        add_pointed_limb(points, ear, 10, 14);
    }
    for (double side : {-1.0, 1.0}) {
        add_leg(points, -0.30, side * 0.14, -0.02, 0.10);
        add_leg(points, 0.44, side * 0.14, 0.05, 0.11);
    }
    int tail_count = rhino_count - static_cast<int>(points.size());
    if (tail_count < 50) {
        fail("the rhinoceros leaves too few points for its tail");
    }
    add_tail(points, tail_count);
    return points;
}

// ---------------------------------------------------------------------------------------------
// The landscape: undulating ground from y = 0 to 5 with a pond sunk into it, an S-shaped gravel
// path winding through it along z, and trees, posts and rocks lining the path.
//
// Each object is a lathe mesh listed ring by ring as a mesh export lists the corners of its
// faces: every ring repeats its first corner at its end to close the seam, and a ring of radius 0
// (a cone's tip, a post's cap) repeats one position all round. Those are the only repeated
// positions in the landscape, and there are exactly as many as required.

constexpr int scenery_count = 87'840;
constexpr int scenery_distinct_count = 82'014;

// The ground fills the extent of the landscape; the pond's bottom and the tallest treetop reach
// its lowest and highest points.
constexpr double ground_west = scenery_box.x.low;
constexpr double ground_east = scenery_box.x.high;
constexpr double ground_south = scenery_box.z.low;
constexpr double ground_north = scenery_box.z.high;
constexpr double pond_bottom = scenery_box.y.low;
constexpr double tallest_treetop = scenery_box.y.high;

constexpr int ground_columns = 128;  // cells along x
constexpr int ground_rows = 175;     // cells along z

double ground_x(int column) {
    return lerp(ground_west, ground_east, static_cast<double>(column) / ground_columns);
}

double ground_z(int row) {
    return lerp(ground_south, ground_north, static_cast<double>(row) / ground_rows);
}

// Gentle waves between 0 and 5.
double ground_height(double x, double z) {
    return 2.5 + 1.3 * std::sin(x / 41.0 + 0.7) * std::cos(z / 57.0 - 0.4) +
           0.8 * std::sin((x + 2.0 * z) / 67.0) + 0.4 * std::cos((3.0 * x - z) / 29.0);
}

// The pond lies inside the path's first bend, which swings east; its deepest point is a corner of
// the grass grid, so that the landscape reaches exactly down to the pond's bottom.
const Position pond_centre{ground_x(42), 0.0, ground_z(44)};
constexpr double pond_radius = 44.0;

double terrain_height(double x, double z) {
    double height = ground_height(x, z);
    double r = std::hypot(x - pond_centre.x, z - pond_centre.z) / pond_radius;
    if (r < 1.0) {
        return lerp(height, pond_bottom, 1.0 - r * r);
    }
    return height;
}

// The path's centre line swings once east and once west while it crosses the ground from south
// to north; `half_width` is measured across the path.
constexpr double path_middle_x = 0.5 * (ground_west + ground_east);
constexpr double path_swing = 150.0;
constexpr double path_half_width = 16.0;

double path_centre_x(double z) {
    return path_middle_x +
           path_swing * std::sin(two_pi * (z - ground_south) / (ground_north - ground_south));
}

double path_slope(double z) {
    double length = ground_north - ground_south;
    return path_swing * two_pi / length * std::cos(two_pi * (z - ground_south) / length);
}

// Half the path's width along x, which grows where the path runs slanted.
double path_half_width_along_x(double z) {
    double slope = path_slope(z);
    return path_half_width * std::sqrt(1.0 + slope * slope);
}

bool on_path(double x, double z) {
    return std::abs(x - path_centre_x(z)) < path_half_width_along_x(z);
}

// The grass: the corners of a regular grid, except where the path runs.
void add_ground(std::vector<Position>& points) {
    for (int row = 0; row <= ground_rows; ++row) {
        for (int column = 0; column <= ground_columns; ++column) {
            double x = ground_x(column);
            double z = ground_z(row);
            if (!on_path(x, z)) {
                points.push_back({x, terrain_height(x, z), z});
            }
        }
    }
}

// Gravel strewn evenly over the path, a little below the grass. Sampling z by the length of path
// it carries keeps the gravel equally dense in the bends.
void add_gravel(std::vector<Position>& points, int count, Random& random) {
    double steepest = std::sqrt(1.0 + path_slope(ground_south) * path_slope(ground_south));
    while (count > 0) {
        double z = next_between(random, ground_south, ground_north);
        double across = next_between(random, -1.0, 1.0);
        double slope = path_slope(z);
        if (next_unit(random) * steepest > std::sqrt(1.0 + slope * slope)) {
            continue;
        }
        double x = path_centre_x(z) + across * path_half_width_along_x(z);
        points.push_back({x, ground_height(x, z) - 0.5, z});
        --count;
    }
}

// A place on the ground, seen from above.
struct Spot {
    double x;
    double z;
};

// Arc lengths of the path's centre line, sampled finely in z.
struct PathTable {
    std::vector<double> z;
    std::vector<double> length;
};

PathTable measure_path() {
    constexpr int steps = 4000;
    PathTable table;
    double length = 0.0;
    for (int i = 0; i <= steps; ++i) {
        double z = lerp(ground_south, ground_north, static_cast<double>(i) / steps);
        if (i > 0) {
            double previous = table.z.back();
            length += std::hypot(z - previous, path_centre_x(z) - path_centre_x(previous));
        }
        table.z.push_back(z);
        table.length.push_back(length);
    }
    return table;
}

// The place `distance` along the path from its southern end and `offset` across it, positive to
// the east.
Spot spot_beside_path(const PathTable& table, double distance, double offset) {
    auto after = std::lower_bound(table.length.begin(), table.length.end(), distance);
    double z = table.z[static_cast<std::size_t>(after - table.length.begin())];
    double slope = path_slope(z);
    double norm = std::sqrt(1.0 + slope * slope);
    // the normal of a path running along (slope, 1) in x-z
    return {path_centre_x(z) + offset / norm, z - offset * slope / norm};
}

// A lathe ring for the landscape: horizontal, listed with its seam corner repeated.
void add_lathe_ring(std::vector<Position>& points, Spot spot, double y, double radius, int sides) {
    for (int j = 0; j <= sides; ++j) {
        double angle = two_pi * (j % sides) / sides;
        points.push_back({spot.x + radius * std::cos(angle), y, spot.z + radius * std::sin(angle)});
    }
}

// A fir: a trunk and three stacked cones of branches, each closing in its tip.
void add_tree(std::vector<Position>& points, Spot spot, double top) {
    constexpr int sides = 24;
    double base = terrain_height(spot.x, spot.z);
    double height = top - base;
    constexpr int trunk_rings = 5;
    for (int k = 0; k < trunk_rings; ++k) {
        double y = base + 0.2 * height * k / trunk_rings;
        add_lathe_ring(points, spot, y, 0.028 * height, sides);
    }
    constexpr int cone_rings = 8;
    for (int tier = 0; tier < 3; ++tier) {
        double cone_base = base + height * (0.18 + 0.22 * tier);
        double cone_top = tier == 2 ? top : base + height * (0.50 + 0.22 * tier);
        double cone_radius = height * (0.13 - 0.025 * tier);
        for (int k = 0; k <= cone_rings; ++k) {
            double t = static_cast<double>(k) / cone_rings;
            add_lathe_ring(points, spot, lerp(cone_base, cone_top, t), lerp(cone_radius, 0.0, t),
                           sides);
        }
    }
}

// A round wooden post with a flat cap.
void add_post(std::vector<Position>& points, Spot spot) {
    constexpr int sides = 10;
    constexpr int rings = 5;
    constexpr double height = 14.0;
    constexpr double radius = 1.3;
    double base = terrain_height(spot.x, spot.z);
    for (int k = 0; k < rings; ++k) {
        add_lathe_ring(points, spot, base + height * k / (rings - 1), radius, sides);
    }
    add_lathe_ring(points, spot, base + height, 0.0, sides);
}

// A low rounded rock, closing in its crown.
void add_rock(std::vector<Position>& points, Spot spot, double radius) {
    constexpr int sides = 14;
    constexpr int rings = 4;
    double base = terrain_height(spot.x, spot.z) - 0.5;
    for (int k = 0; k < rings; ++k) {
        double elevation = 0.5 * std::numbers::pi * k / rings;
        add_lathe_ring(points, spot, base + 0.6 * radius * std::sin(elevation),
                       radius * std::cos(elevation), sides);
    }
    add_lathe_ring(points, spot, base + 0.6 * radius, 0.0, sides);
}

constexpr int tree_count = 36;
constexpr int tallest_tree = 17;
constexpr int post_count = 98;
constexpr int rock_count = 40;

// The distance along the path of the `index`th of `count` objects spread evenly over it, clear of
// its ends by `margin`, where they would reach past the edge of the ground.
double spread_along(const PathTable& table, double margin, int index, int count) {
    return lerp(margin, table.length.back() - margin, (index + 0.5) / count);
}

// Trees alternate from side to side along the path, posts stand in pairs at its edges, and rocks
// lie about in the grass beside it.
void add_path_lining(std::vector<Position>& points, Random& random) {
    PathTable table = measure_path();
    for (int i = 0; i < tree_count; ++i) {
        double side = i % 2 == 0 ? 1.0 : -1.0;
        double top = i == tallest_tree ? tallest_treetop : next_between(random, 110.0, 175.0);
        Spot spot = spot_beside_path(table, spread_along(table, 100.0, i, tree_count), side * 44.0);
        add_tree(points, spot, top);
    }
    for (int i = 0; i < post_count; ++i) {
        double side = i % 2 == 0 ? 1.0 : -1.0;
        double distance = spread_along(table, 40.0, i / 2, post_count / 2);
        add_post(points, spot_beside_path(table, distance, side * (path_half_width + 2.5)));
    }
    for (int i = 0; i < rock_count; ++i) {
        double distance = next_between(random, 130.0, table.length.back() - 130.0);
        double side = next_unit(random) < 0.5 ? 1.0 : -1.0;
        double offset = side * next_between(random, path_half_width + 6.0, 70.0);
        add_rock(points, spot_beside_path(table, distance, offset), next_between(random, 2.5, 6.0));
    }
}

// ---------------------------------------------------------------------------------------------
// Storing and checking

Stored store(const Position& position) {
    // adding 0 turns a negative zero into the zero it equals
    return {static_cast<float>(position.x) + 0.0f, static_cast<float>(position.y) + 0.0f,
            static_cast<float>(position.z) + 0.0f};
}

bool stored_before(const Stored& a, const Stored& b) {
    if (a.x != b.x) {
        return a.x < b.x;
    }
    if (a.y != b.y) {
        return a.y < b.y;
    }
    return a.z < b.z;
}

bool stored_equal(const Stored& a, const Stored& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

int count_distinct(std::vector<Stored> points) {
    std::sort(points.begin(), points.end(), stored_before);
    return static_cast<int>(std::unique(points.begin(), points.end(), stored_equal) -
                            points.begin());
}

std::vector<Stored> store_all(const std::vector<Position>& points) {
    std::vector<Stored> stored;
    stored.reserve(points.size());
    for (const Position& position : points) {
        stored.push_back(store(position));
    }
    return stored;
}

// Maps [low_found, high_found] linearly onto [low, high], hitting both ends exactly.
float fit(double value, double low_found, double high_found, float low, float high) {
    if (value == high_found) {
        return high;
    }
    return static_cast<float>(low + (value - low_found) / (high_found - low_found) *
                                        (static_cast<double>(high) - low));
}

// The least and the greatest coordinates of a set of points, axis by axis.
struct Extent {
    Position low;
    Position high;
};

template <class Point>
Extent extent_of(const std::vector<Point>& points) {
    auto [x_low, x_high] = std::minmax_element(points.begin(), points.end(),
                                               [](auto& a, auto& b) { return a.x < b.x; });
    auto [y_low, y_high] = std::minmax_element(points.begin(), points.end(),
                                               [](auto& a, auto& b) { return a.y < b.y; });
    auto [z_low, z_high] = std::minmax_element(points.begin(), points.end(),
                                               [](auto& a, auto& b) { return a.z < b.z; });
    return {{x_low->x, y_low->y, z_low->z}, {x_high->x, y_high->y, z_high->z}};
}

// The rhinoceros is designed in its own units and stretched, axis by axis, onto its stored
// ranges; the stretch is slight, and it leaves the horn's tip and the tail's tip where they are.
std::vector<Stored> fit_rhino(const std::vector<Position>& points) {
    auto [low, high] = extent_of(points);
    std::vector<Stored> stored;
    stored.reserve(points.size());
    for (const Position& p : points) {
        stored.push_back({fit(p.x, low.x, high.x, rhino_box.x.low, rhino_box.x.high) + 0.0f,
                          fit(p.y, low.y, high.y, rhino_box.y.low, rhino_box.y.high) + 0.0f,
                          fit(p.z, low.z, high.z, rhino_box.z.low, rhino_box.z.high) + 0.0f});
    }
    return stored;
}

void check_count(const char* what, int found, int wanted) {
    if (found != wanted) {
        fail(std::string(what) + ": " + std::to_string(found) + " instead of " +
             std::to_string(wanted));
    }
}

void check_range(const char* what, double low, double high, Range wanted) {
    if (low != wanted.low || high != wanted.high) {
        fail(std::string(what) + " reaches from " + std::to_string(low) + " to " +
             std::to_string(high));
    }
}

void check_box(const char* what, const std::vector<Stored>& points, Box wanted) {
    auto [low, high] = extent_of(points);
    check_range((std::string(what) + " x").c_str(), low.x, high.x, wanted.x);
    check_range((std::string(what) + " y").c_str(), low.y, high.y, wanted.y);
    check_range((std::string(what) + " z").c_str(), low.z, high.z, wanted.z);
}

std::vector<Stored> build_stored_rhino() {
    std::vector<Stored> rhino = fit_rhino(build_rhino());
    check_count("rhinoceros points", static_cast<int>(rhino.size()), rhino_count);
    check_count("distinct rhinoceros points", count_distinct(rhino), rhino_count);
    check_box("the rhinoceros", rhino, rhino_box);
    return rhino;
}

std::vector<Stored> build_stored_scenery() {
    Random random{20'241'207};
    std::vector<Position> points;
    add_ground(points);
    add_path_lining(points, random);
    std::vector<Stored> stored = store_all(points);
    int repeats = static_cast<int>(stored.size()) - count_distinct(stored);
    check_count("repeated landscape positions", repeats, scenery_count - scenery_distinct_count);
    // the gravel takes up the rest of the budget; it repeats nothing
    std::vector<Position> gravel;
    add_gravel(gravel, scenery_count - static_cast<int>(points.size()), random);
    std::vector<Stored> stored_gravel = store_all(gravel);
    stored.insert(stored.end(), stored_gravel.begin(), stored_gravel.end());
    check_count("landscape points", static_cast<int>(stored.size()), scenery_count);
    check_count("distinct landscape positions", count_distinct(stored), scenery_distinct_count);
    check_box("the landscape", stored, scenery_box);
    return stored;
}

// ---------------------------------------------------------------------------------------------
// Writing

// The shortest decimal that reads back as the same float, as a float literal.
std::string float_literal(float value) {
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    std::string literal(text, result.ptr);
    if (literal.find_first_of(".e") == std::string::npos) {
        literal += ".0";
    }
    return literal + "f";
}

void write_array(std::FILE* out, const char* name, const char* count_name,
                 const std::vector<Stored>& points, const char* color) {
    // aligned to a cache line like the other point sets
    std::fprintf(out, "\nalignas(64) std::array<Point, %s> %s = {{\n", count_name, name);
    for (const Stored& p : points) {
        std::fprintf(out, "    {%s, %s, %s, %s},\n", float_literal(p.x).c_str(),
                     float_literal(p.y).c_str(), float_literal(p.z).c_str(), color);
    }
    std::fprintf(out, "}};\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fail("usage: make_models <output.cpp>");
    }
    std::vector<Stored> rhino = build_stored_rhino();
    std::vector<Stored> scenery = build_stored_scenery();
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        fail(std::string("cannot write ") + argv[1]);
    }
    std::fprintf(out,
                 "// The two embedded point models, as stored before start-up scales them.\n"
                 "// Written by tools/make_models.cpp: change that program and build the target "
                 "update_models_data\n"
                 "// rather than editing this file.\n"
                 "// clang-format off\n\n"
                 "#include \"scene/scene.h\"\n");
    write_array(out, "rhino_points", "rhino_point_count", rhino, "16777215.0f");
    write_array(out, "scenery_points", "scenery_point_count", scenery, "255.0f");
    std::fclose(out);
    return 0;
}
