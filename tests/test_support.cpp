#include "test_support.h"

#include <filesystem>
#include <fstream>
#include <memory>

namespace {

constexpr std::uint32_t only_in_actual = 0xFF0000;
constexpr std::uint32_t only_in_expected = 0x00FF00;
constexpr std::uint32_t lit_in_both_differently = 0xFFFF00;
constexpr std::uint32_t lit_alike = 0x404040;

std::uint32_t difference_of(std::uint32_t actual, std::uint32_t expected) {
    if (actual == expected) {
        return actual != 0 ? lit_alike : 0;
    }
    if (expected == 0) {
        return only_in_actual;
    }
    return actual == 0 ? only_in_expected : lit_in_both_differently;
}

// A binary PPM, for a person to look at.
void write_frame_image(const FrameBuffer& frame, const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << screen_width << ' ' << screen_height << "\n255\n";
    for (const std::uint32_t pixel : frame.pixels) {
        const char rgb[3] = {static_cast<char>(pixel >> 16), static_cast<char>(pixel >> 8),
                             static_cast<char>(pixel)};
        out.write(rgb, 3);
    }
}

std::string written_image(const FrameBuffer& frame, const std::string& name) {
    const std::string path = name + ".ppm";
    write_frame_image(frame, path);
    return std::filesystem::absolute(path).string();
}

}  // namespace

::testing::AssertionResult frames_match(const FrameBuffer& actual, const FrameBuffer& expected,
                                        const std::string& name) {
    const auto difference = std::make_unique<FrameBuffer>();
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < screen_pixel_count; ++i) {
        mismatches += actual.pixels[i] != expected.pixels[i] ? 1 : 0;
        difference->pixels[i] = difference_of(actual.pixels[i], expected.pixels[i]);
    }
    if (mismatches == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << mismatches << " pixels differ; see " << written_image(actual, name + "_actual")
           << ", " << written_image(expected, name + "_expected") << " and "
           << written_image(*difference, name + "_difference")
           << " (red: only in the actual frame, green: only in the expected one, yellow: "
              "other colours)";
}
