#!/bin/bash
# Builds and installs seamline into $PREFIX against the host environment's
# htslib, libdeflate, Boost, zlib and bzip2.
set -euo pipefail

# The recipe brings no ISA-L, so gzip input is inflated by zlib; the option
# keeps a build machine's own ISA-L out of the package.
# CMAKE_ARGS (set by the compilers' activation) holds several words.
# shellcheck disable=SC2086
cmake -S . -B build-conda ${CMAKE_ARGS:-} \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DCMAKE_PREFIX_PATH="$PREFIX" \
    -DBUILD_TESTING=OFF \
    -DSEAMLINE_ISAL=OFF
cmake --build build-conda --target seamline --parallel "${CPU_COUNT:-1}"
cmake --install build-conda
