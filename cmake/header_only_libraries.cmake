# Debian's header-only libraries that the viewer uses: CLI11 for its options and stb_image_write
# for its pictures. They are copied into the build tree, so that the cross-builds (Windows, ARM)
# take them without the rest of the build machine's headers.
find_path(CLI11_INCLUDE_DIR CLI/CLI.hpp NO_CMAKE_FIND_ROOT_PATH)
find_path(STB_INCLUDE_DIR stb_image_write.h PATH_SUFFIXES stb NO_CMAKE_FIND_ROOT_PATH)
if(NOT CLI11_INCLUDE_DIR OR NOT STB_INCLUDE_DIR)
    message(FATAL_ERROR "pointcloud-view needs CLI11 and stb_image_write: "
                        "apt-get install libcli11-dev libstb-dev")
endif()

set(header_only_dir ${PROJECT_BINARY_DIR}/header_only)
file(COPY ${CLI11_INCLUDE_DIR}/CLI DESTINATION ${header_only_dir})
file(COPY ${STB_INCLUDE_DIR}/stb_image_write.h DESTINATION ${header_only_dir})

add_library(header_only_libraries INTERFACE)
# As system headers: their own warnings are not ours to fix.
target_include_directories(header_only_libraries SYSTEM INTERFACE ${header_only_dir})
