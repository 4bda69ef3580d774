#include "viewer/frame_picture.h"

// Where the platform takes file names in UTF-16 (Windows), the writer converts them.
#define STBIW_WINDOWS_UTF8
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#include <cstdint>
#include <filesystem>
#include <vector>

bool write_frame_png(const Frame& frame, const std::string& path) {
    std::vector<std::uint8_t> rgb;
    rgb.reserve(frame.pixels.size() * 3);
    for (const std::uint32_t pixel : frame.pixels) {
        rgb.push_back(static_cast<std::uint8_t>(pixel >> 16));
        rgb.push_back(static_cast<std::uint8_t>(pixel >> 8));
        rgb.push_back(static_cast<std::uint8_t>(pixel));
    }
    return stbi_write_png(path.c_str(), frame.width, frame.height, 3, rgb.data(),
                          frame.width * 3) != 0;
}

std::string unused_picture_name(const std::string& stem) {
    for (int number = 1;; ++number) {
        std::string name = stem + "-" + std::to_string(number) + ".png";
        std::error_code error;
        const std::filesystem::path path(std::u8string(name.begin(), name.end()));
        if (!std::filesystem::exists(path, error)) {
            return name;
        }
    }
}
