# One interface target carries the language level, the warnings and the Qt defines; every target links it.
add_library(p_common INTERFACE)
target_compile_features(p_common INTERFACE cxx_std_20)
target_compile_options(p_common INTERFACE
    -Wall -Wextra -pedantic -Wold-style-cast -Woverloaded-virtual -Wnon-virtual-dtor
    $<$<BOOL:${P_WARNINGS_AS_ERRORS}>:-Werror>)
target_compile_definitions(p_common INTERFACE
    QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_USE_QSTRINGBUILDER QT_DISABLE_DEPRECATED_BEFORE=0x060400)
# backtrace_symbols needs the program's own symbols in the dynamic table to name functions in ERROR.LOG
target_link_options(p_common INTERFACE -rdynamic)

if(P_FUZZ)
    # Coverage for libFuzzer and the sanitizers on every library the fuzz targets link.
    target_compile_options(p_common INTERFACE -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
    target_link_options(p_common INTERFACE -fsanitize=address,undefined)
endif()

if(P_SANITIZE)
    # Every library, program and test with the address and undefined-behaviour sanitizers; a finding ends the process.
    # GCC's flow analysis sees the sanitizers' checks as paths that leave values unset (in libstdc++'s regex too).
    target_compile_options(p_common INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=undefined
        -fno-omit-frame-pointer $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
    target_link_options(p_common INTERFACE -fsanitize=address,undefined)
endif()
