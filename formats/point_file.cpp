// The one routine that reads any point file: it picks the reader by the file's first bytes,
// and by the name only for text, and turns every failure into one line.

#include "formats/point_file.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <new>
#include <string_view>
#include <system_error>

#include "formats/read_support.h"

namespace {

// The name's extension from its last dot, in lower case ("" where there is none).
std::string extension_of(const std::string& name) {
    const std::size_t slash = name.find_last_of("/\\");
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return "";
    }
    std::string extension = name.substr(dot);
    std::transform(extension.begin(), extension.end(), extension.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return extension;
}

bool starts_with(const ByteSource& source, std::string_view magic) {
    return source.available() >= magic.size() &&
           std::memcmp(source.data(), magic.data(), magic.size()) == 0;
}

void read_by_content(ByteSource& source, const std::string& name, const ReadOptions& options,
                     PointCloud& cloud) {
    if (source.size() == 0) {
        fail("the file is empty");
    }
    const std::string extension = extension_of(name);
    source.request(16);
    if (starts_with(source, "ply\n") || starts_with(source, "ply\r\n")) {
        read_ply(source, options, cloud);
    } else if (starts_with(source, "LASF")) {
        read_las(source, options, cloud);
    } else if (starts_with(source, "# .PCD") || starts_with(source, "VERSION") ||
               starts_with(source, "FIELDS")) {
        read_pcd(source, options, cloud);
    } else if (extension == ".xyz" || extension == ".txt" || extension == ".csv" ||
               extension == ".pts") {
        read_text(source, options, cloud);
    } else {
        fail("not a PLY, LAS or PCD file, and not text named .xyz, .txt, .csv or .pts");
    }
}

ReadResult read_source(ByteSource& source, const std::string& name, const ReadOptions& options) {
    ReadResult result{};
    try {
        read_by_content(source, name, options, result.cloud);
        return result;
    } catch (const FileError& error) {
        result.error = error.what();
    } catch (const std::bad_alloc&) {
        result.error = "not enough memory for the points";
    } catch (const std::exception& error) {
        result.error = error.what();
    }
    result.cloud = PointCloud{};
    return result;
}

ReadResult failed(const std::string& reason) {
    ReadResult result{};
    result.error = reason;
    return result;
}

}  // namespace

ReadResult read_point_file(const std::string& path, const ReadOptions& options) {
    try {
        // Built from UTF-8, so that names outside ASCII open on Windows too.
        const std::filesystem::path file_path(std::u8string(path.begin(), path.end()));
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(file_path, error);
        if (status.type() == std::filesystem::file_type::not_found) {
            return failed("no such file");
        }
        if (error) {
            return failed("cannot be read: " + error.message());
        }
        if (status.type() == std::filesystem::file_type::directory) {
            return failed("a folder, not a file");
        }
        if (status.type() != std::filesystem::file_type::regular) {
            return failed("not a regular file");
        }
        const std::uintmax_t size = std::filesystem::file_size(file_path, error);
        if (error) {
            return failed("cannot be read: " + error.message());
        }
        std::ifstream file(file_path, std::ios::binary);
        if (!file) {
            return failed("cannot be opened");
        }
        ByteSource source(file, size, options);
        return read_source(source, path, options);
    } catch (const std::exception& error) {
        return failed(error.what());
    }
}

ReadResult read_point_bytes(const unsigned char* data, std::size_t size, const std::string& name,
                            const ReadOptions& options) {
    ByteSource source(data, size);
    return read_source(source, name, options);
}
