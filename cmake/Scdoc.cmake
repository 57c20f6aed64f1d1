# Turns an scdoc source into a manual page: cmake -DSCDOC=... -DIN=... -DOUT=... -DVERSION=...
# -P Scdoc.cmake. Writes a temporary file first, so a failed run leaves no page behind that would
# look up to date.
file(READ "${IN}" text)
string(REPLACE "@PROJECT_VERSION@" "${VERSION}" text "${text}")
file(WRITE "${OUT}.scd" "${text}")
execute_process(COMMAND "${SCDOC}" INPUT_FILE "${OUT}.scd" OUTPUT_FILE "${OUT}.tmp"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE "${OUT}.tmp")
  message(FATAL_ERROR "scdoc failed on ${IN} (${status})")
endif()
file(RENAME "${OUT}.tmp" "${OUT}")
