# p_add_build_identifier(<target>): gives <target> the definition of base::buildIdentifier() (base/BuildInfo.h).
#
# The identifier is read from the version control of the source tree on every build, not only when CMake runs: a
# custom target runs cmake/BuildIdWrite.cmake each time, which rewrites the generated source only when the text
# changed. The generated file is a byproduct of that target, so Ninja checks its time stamp again after the run
# (restat) and an unchanged identifier recompiles and relinks nothing.
function(p_add_build_identifier target)
    set(generated "${PROJECT_BINARY_DIR}/generated/base/BuildInfo.cpp")
    find_program(P_GIT_EXECUTABLE git)
    add_custom_target(p_build_identifier
        COMMAND ${CMAKE_COMMAND}
            -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DOUTPUT=${generated}
            -DGIT_EXECUTABLE=${P_GIT_EXECUTABLE}
            -P ${PROJECT_SOURCE_DIR}/cmake/BuildIdWrite.cmake
        BYPRODUCTS ${generated}
        COMMENT "Build identifier from the version control"
        VERBATIM)
    target_sources(${target} PRIVATE ${generated})
    add_dependencies(${target} p_build_identifier)
endfunction()
