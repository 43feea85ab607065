// Points, sizes and rectangles of the screen service: 64-bit floats in global display coordinates
// (origin at the top-left corner of the primary display, y downwards). Every part of the service
// (regions, displays, capture, encoders) speaks these types.
#pragma once

#include <algorithm>
#include <cmath>
#include <limits>

namespace kl {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

// A rectangle may have a negative size; minX/maxX and friends read it standardised. The null
// rectangle (origin at infinity) is what an intersection of disjoint rectangles gives; it is the
// neutral element of unionWith.
struct Rect {
    Point origin;
    Size size;

    constexpr Rect() = default;
    constexpr Rect(double x, double y, double w, double h) : origin{x, y}, size{w, h} {}
    Rect(Point o, Size s) : origin(o), size(s) {}

    static Rect null() {
        constexpr double inf = std::numeric_limits<double>::infinity();
        return Rect(inf, inf, 0, 0);
    }
    bool isNull() const { return std::isinf(origin.x) || std::isinf(origin.y); }
    // Null, or no area.
    bool isEmpty() const { return isNull() || size.width == 0 || size.height == 0; }

    double minX() const { return std::min(origin.x, origin.x + size.width); }
    double maxX() const { return std::max(origin.x, origin.x + size.width); }
    double minY() const { return std::min(origin.y, origin.y + size.height); }
    double maxY() const { return std::max(origin.y, origin.y + size.height); }
    double width() const { return std::fabs(size.width); }
    double height() const { return std::fabs(size.height); }

    Rect standardized() const { return isNull() ? null() : Rect(minX(), minY(), width(), height()); }

    // Rectangles that only share an edge intersect in a rectangle of zero width or height, not in
    // the null rectangle; callers that want area test the size too.
    Rect intersection(const Rect& o) const {
        if (isNull() || o.isNull()) return null();
        double x1 = std::max(minX(), o.minX()), x2 = std::min(maxX(), o.maxX());
        double y1 = std::max(minY(), o.minY()), y2 = std::min(maxY(), o.maxY());
        if (x2 < x1 || y2 < y1) return null();
        return Rect(x1, y1, x2 - x1, y2 - y1);
    }
    bool intersects(const Rect& o) const { return !intersection(o).isNull(); }

    Rect unionWith(const Rect& o) const {
        if (isNull()) return o.standardized();
        if (o.isNull()) return standardized();
        double x1 = std::min(minX(), o.minX()), x2 = std::max(maxX(), o.maxX());
        double y1 = std::min(minY(), o.minY()), y2 = std::max(maxY(), o.maxY());
        return Rect(x1, y1, x2 - x1, y2 - y1);
    }

    bool containsPoint(Point p) const {
        return !isNull() && p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
    }
    bool containsRect(const Rect& o) const {
        return !isNull() && !o.isNull() && o.minX() >= minX() && o.maxX() <= maxX() && o.minY() >= minY() &&
               o.maxY() <= maxY();
    }
    Rect offsetBy(double dx, double dy) const { return isNull() ? null() : Rect(origin.x + dx, origin.y + dy, size.width, size.height); }

    friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace kl
