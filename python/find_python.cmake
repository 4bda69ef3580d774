# Whether the Python module can be built: pybind11 and a Python 3 with its headers and NumPy,
# for the machine that builds. Sets POINTCLOUD_PYTHON_MODULE. Cross-builds go without the
# module. So does the fuzz build: clang puts its sanitizers' runtime into programs only, and a
# module built under them cannot be loaded by a Python built without them.
option(POINTCLOUD_PYTHON "Build the Python module where pybind11, Python and NumPy are found" ON)
set(POINTCLOUD_PYTHON_MODULE OFF)
if(NOT POINTCLOUD_PYTHON OR CMAKE_CROSSCOMPILING OR POINTCLOUD_FUZZ)
    return()
endif()
# Debian's own interpreter, which Debian's NumPy and pybind11 are for: a python3 that comes
# first on the PATH (pyenv, a virtual environment) may have neither.
if(EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "The Python that the module is for")
endif()
find_package(Python3 COMPONENTS Interpreter Development.Module NumPy)
if(Python3_FOUND)
    find_package(pybind11 CONFIG)
endif()
if(Python3_FOUND AND pybind11_FOUND)
    set(POINTCLOUD_PYTHON_MODULE ON)
else()
    message(STATUS "pybind11, or Python 3 with its headers and NumPy, missing: no Python module")
endif()
