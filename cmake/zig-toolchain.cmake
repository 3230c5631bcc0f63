# Toolchain of the manylinux wheels (`make dist`): zig's clang and libc++
# through scripts/zig-c++, against glibc 2.17. Pass it as
# -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake; KELVANE_ZIG names the zig
# command (see the script).
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/../scripts/zig-c++")

# Read by CMakeLists.txt: zig links libc++, libc++abi and libunwind
# statically by itself.
set(KELVANE_ZIG_TOOLCHAIN ON)

# zig adds frame pointers and debug information even at -O3. Clang's inliner
# stops well short of GCC's at -O3: without the higher threshold the argument
# conversions and the payload encoder stay out-of-line calls, costing up to
# 14% more instructions per builder call than the GCC build. Link-time
# optimisation adds a little on top.
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-fomit-frame-pointer -g0 -mllvm -inline-threshold=1000 -flto")
# Stripped: the C++ runtime zig builds carries debug information, with the
# paths of the build machine in it.
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-flto -s")
