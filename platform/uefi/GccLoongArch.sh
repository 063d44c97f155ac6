#!/bin/sh
# The C compiler of brisvane's module under EDK II's GCC tool chain for
# LoongArch64 (GCC5 or GCC). Its flags hold -Wno-pointer-to-int-cast, a
# warning option of C alone, which cc1plus reports as valid for C but not
# for C++: an error under -Werror. It is left out of the compiles of .cpp
# sources; C files keep it. The compiler is the one tools_def.txt names.
gcc=${GCC_LOONGARCH64_PREFIX-${GCC5_LOONGARCH64_PREFIX-}}gcc
for arg; do
    case $arg in
    *.cpp)
        for kept; do
            shift
            [ "$kept" = -Wno-pointer-to-int-cast ] || set -- "$@" "$kept"
        done
        exec "$gcc" "$@"
        ;;
    esac
done
exec "$gcc" "$@"
