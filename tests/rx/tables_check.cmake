# The committed tables must be exactly what the generator computes on this machine.
execute_process(COMMAND ${GEN} OUTPUT_FILE ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "tables_gen failed: ${rc}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${DATA} RESULT_VARIABLE diff)
if(NOT diff EQUAL 0)
  message(FATAL_ERROR "${DATA} differs from what tables_gen computes here (${OUT})")
endif()
