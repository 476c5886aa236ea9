# cmake -DSCRIPT=<cmake/BuildIdWrite.cmake> -DSOURCE_DIR=<checkout> -DWORK=<scratch folder> [-DGIT_EXECUTABLE=<git>]
#   -P BuildIdTest.cmake
#
# The build identifier's writer: the honest text outside version control, the checkout's own description inside
# it, and a generated file that is rewritten when the identifier changes and left alone (time stamp kept) when not.

set(output "${WORK}/BuildInfo.cpp")
set(outside "${WORK}/unpacked")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${outside}")
file(WRITE "${outside}/CMakeLists.txt" "# sources unpacked without their repository\n")
if(NOT GIT_EXECUTABLE)
    set(GIT_EXECUTABLE git)
endif()

function(write_identifier source git)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${source} -DOUTPUT=${output} -DGIT_EXECUTABLE=${git} -P ${SCRIPT}
        RESULT_VARIABLE result
        OUTPUT_QUIET)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "BuildIdWrite.cmake failed for ${source}")
    endif()
endfunction()

function(expect_identifier expected why)
    file(READ "${output}" content)
    string(FIND "${content}" "return \"${expected}\";" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "${why}: expected the identifier \"${expected}\", the file says:\n${content}")
    endif()
endfunction()

# A folder inside some other repository (the scratch folder lies in the build tree) that this repository does not
# track: no identifier of that repository is borrowed.
write_identifier("${outside}" "${GIT_EXECUTABLE}")
expect_identifier("ohne Versionsverwaltung" "untracked sources")

# Without git at all.
write_identifier("${outside}" "${WORK}/no-such-git")
expect_identifier("ohne Versionsverwaltung" "git missing")

# The same text again: the file keeps its time stamp. The wait makes a rewrite visible at one-second resolution.
file(TIMESTAMP "${output}" before "%s")
execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1.1)
write_identifier("${outside}" "${GIT_EXECUTABLE}")
file(TIMESTAMP "${output}" after "%s")
if(NOT before STREQUAL after)
    message(FATAL_ERROR "an unchanged identifier rewrote the file (${before} -> ${after})")
endif()

# The checkout the program is built from: its description, written over the old text.
execute_process(
    COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} describe --always --dirty --abbrev=12
    RESULT_VARIABLE described
    OUTPUT_VARIABLE description
    OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
write_identifier("${SOURCE_DIR}" "${GIT_EXECUTABLE}")
if(described EQUAL 0)
    expect_identifier("${description}" "the checkout")
    if(NOT description MATCHES "[0-9a-f]+(-dirty)?$")
        message(FATAL_ERROR "not a git description: ${description}")
    endif()
else()
    expect_identifier("ohne Versionsverwaltung" "sources without a checkout")
endif()
file(TIMESTAMP "${output}" rewritten "%s")
if(described EQUAL 0 AND rewritten STREQUAL after)
    message(FATAL_ERROR "a changed identifier did not rewrite the file")
endif()
message(STATUS "build identifier checks passed")
