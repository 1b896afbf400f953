#!/bin/sh
# Writes shell/texts_packed.h again from shell/texts.def, with the native
# build's packtexts (the project's own LZMA encoder).
set -e
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --build --preset native --target packtexts
build/native/tools/packtexts/packtexts shell/texts_packed.h
