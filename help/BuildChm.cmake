# Script mode: cmake -DCHMCMD=<chmcmd> -DFILES=<a|b|…> -DSTAGE=<dir> -DOUTPUT=<file.CHM> -P BuildChm.cmake
#
# Copies the help sources (the first one is the project file) into a fresh staging folder, compiles them there and
# copies the result to OUTPUT. chmcmd scans the pages for links to files the project does not hold; any warning or
# error it reports fails the build, and a failed run leaves no OUTPUT behind, so a broken help file is never taken
# for up to date.

string(REPLACE "|" ";" files "${FILES}")
list(GET files 0 project)
get_filename_component(project_name "${project}" NAME)

file(REMOVE_RECURSE "${STAGE}")
file(MAKE_DIRECTORY "${STAGE}")
file(COPY ${files} DESTINATION "${STAGE}")
file(REMOVE "${OUTPUT}")

execute_process(
    COMMAND "${CHMCMD}" --html-scan "${project_name}"
    WORKING_DIRECTORY "${STAGE}"
    RESULT_VARIABLE result
    OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
file(GLOB compiled "${STAGE}/*.CHM")
if(NOT result EQUAL 0 OR output MATCHES "(Warning|Error|error|exception)" OR NOT compiled)
    message(FATAL_ERROR "chmcmd failed (exit code ${result}):\n${output}")
endif()
file(COPY_FILE "${compiled}" "${OUTPUT}")
