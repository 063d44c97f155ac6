#!/bin/sh
# The C compiler of brisvane's module under EDK II's clang tool chains
# (CLANGDWARF, CLANGPDB). EDK II gives C and C++ sources the same CC_FLAGS,
# and clang refuses a C++ -std= on the C file that EDK II generates
# (AutoGen.c), so the C++ language flags of CxxFlags.gcc, the list that GCC
# reads, are added here to the compiles of .cpp sources alone. The compiler
# is the one tools_def.txt names: clang in CLANG_BIN (CLANGDWARF_BIN for
# AArch64 in newer trees).
clang=${CLANG_BIN-${CLANGDWARF_BIN-}}clang
for arg; do
    case $arg in
    *.cpp)
        # shellcheck disable=SC2046 # one flag per word
        exec "$clang" "$@" $(sed -n 's/^+ //p' "$(dirname "$0")/CxxFlags.gcc")
        ;;
    esac
done
exec "$clang" "$@"
