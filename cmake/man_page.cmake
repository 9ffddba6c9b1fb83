# Build step for one man page: puts the project's version into SOURCE (@PROJECT_VERSION@) and
# compresses the result into DEST with GZIP, at the highest level and without name or time
# stamp, so the package builds reproducibly. Without GZIP, DEST is the uncompressed page.
configure_file("${SOURCE}" "${DEST}.tmp" @ONLY)
if(GZIP)
    execute_process(COMMAND "${GZIP}" -9 -n -c "${DEST}.tmp" OUTPUT_FILE "${DEST}"
                    RESULT_VARIABLE rc)
    file(REMOVE "${DEST}.tmp")
    if(NOT rc EQUAL 0)
        file(REMOVE "${DEST}")
        message(FATAL_ERROR "gzip failed on ${SOURCE}: ${rc}")
    endif()
else()
    file(RENAME "${DEST}.tmp" "${DEST}")
endif()
