# Cross-compiling for Linux on 64-bit ARM from an x86_64 Debian root that has
# g++-aarch64-linux-gnu and libpython3.14-dev:arm64 (TAVIK_ROOT=cross).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Tools (the interpreter that runs the build) come from this machine;
# headers and libraries only from the target's multiarch paths.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)

# The build's interpreter is x86_64 and cannot describe the target: the
# extension suffix comes from here, the headers from the arm64 package.
set(TAVIK_TARGET_SOABI cpython-314-aarch64-linux-gnu)
set(Python_INCLUDE_DIR /usr/include/python3.14 CACHE PATH "")
