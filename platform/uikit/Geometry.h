#pragma once
// Points on the simulated screen. Plain values.
#include <ostream>

namespace platform::uikit {

struct Point {
    double x = 0, y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

struct Rect {
    Point origin;
    Size size;
    Rect() = default;
    Rect(double x, double y, double w, double h) : origin{x, y}, size{w, h} {}
    bool operator==(const Rect&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Rect& r) {
    return out << "{{" << r.origin.x << ", " << r.origin.y << "}, {" << r.size.width << ", " << r.size.height << "}}";
}

// The simulated device's screen, in points.
struct Screen {
    static Rect mainBounds() { return Rect(0, 0, 375, 812); }
};

}  // namespace platform::uikit
