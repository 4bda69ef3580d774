# What `cmake --install` puts where, and the packages that cpack makes of it: a .deb on Linux
# (cpack -G DEB), a zip on Windows (cpack -G ZIP).
include(GNUInstallDirs)
install(TARGETS pointcloud pointcloud-view RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The manual pages, each written from its program's --help: so only where the programs run.
if(NOT CMAKE_CROSSCOMPILING)
    foreach(program pointcloud pointcloud-view)
        set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
        add_custom_command(OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -D PROGRAM=$<TARGET_FILE:${program}> -D NAME=${program}
                    -D VERSION=${PROJECT_VERSION} -D OUTPUT=${page}
                    -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
            DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
            COMMENT "Writing the manual page of ${program}"
            VERBATIM)
        list(APPEND manual_pages ${page})
    endforeach()
    add_custom_target(manual_pages ALL DEPENDS ${manual_pages})
    install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

if(POINTCLOUD_PYTHON_MODULE)
    # Where the interpreter that the module is built for looks under an installation prefix:
    # lib/python3/dist-packages with Debian's, which is where it looks under /usr.
    execute_process(
        COMMAND ${Python3_EXECUTABLE} -c
            "import sysconfig
scheme = 'deb_system' if 'deb_system' in sysconfig.get_scheme_names() else 'posix_prefix'
print(sysconfig.get_path('platlib', scheme, vars={'base': '', 'platbase': ''}).lstrip('/'))"
        OUTPUT_VARIABLE python_module_dir OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(POINTCLOUD_PYTHON_INSTALL_DIR ${python_module_dir} CACHE STRING
        "Where the Python module is installed, under the installation prefix")
    install(TARGETS pointcloud_python LIBRARY DESTINATION ${POINTCLOUD_PYTHON_INSTALL_DIR})
endif()

set(CPACK_PACKAGE_NAME pointcloud)
set(CPACK_PACKAGE_VENDOR pointcloud)
set(POINTCLOUD_PACKAGE_CONTACT "pointcloud maintainers" CACHE STRING
    "Who maintains the packages, as their Maintainer field says")
set(CPACK_PACKAGE_CONTACT ${POINTCLOUD_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Real-time software renderer of point clouds: a demo, a viewer and a Python module")
set(CPACK_STRIP_FILES ON)
if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# The libraries the programs and the module link, as dpkg-shlibdeps finds them (dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(POINTCLOUD_PYTHON_MODULE)
    # The module is built for one version of Python, and imports NumPy.
    math(EXPR next_minor "${Python3_VERSION_MINOR} + 1")
    set(CPACK_DEBIAN_PACKAGE_DEPENDS
        "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}), python3 (<< ${Python3_VERSION_MAJOR}.${next_minor}), python3-numpy")
endif()
include(CPack)
