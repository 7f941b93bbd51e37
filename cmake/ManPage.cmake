# Writes a program's manual page: runs PROGRAM --man into OUT (cmake -DPROGRAM=... -DOUT=... -P).
# The page is the program's own --help text, so it is made from the built program, never by hand.
execute_process(COMMAND ${PROGRAM} --man OUTPUT_FILE ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "${PROGRAM} --man failed: ${result}")
endif()
