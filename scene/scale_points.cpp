#include "scene/scene.h"

void scale_points(std::span<Point> points, float factor) {
    for (Point& point : points) {
        point.x *= factor;
        point.y *= factor;
        point.z *= factor;
    }
}
