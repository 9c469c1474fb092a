# The C example of README.md's "Embedding the engine", exactly as printed: extracted, compiled
# as C99 with warnings as errors against rsid_engine.h and librsid-engine.so, and run on a WAV
# file with three identifiers (make_inputs.py), of which it must print three.
#   cmake -DREADME=... -DINCLUDE=... -DLIB=... -DCC=... -DWORK=... -DINPUTS=... -P readme_example.cmake
file(READ ${README} text)
string(FIND "${text}" "## Embedding the engine" at)
if(at EQUAL -1)
  message(FATAL_ERROR "README.md has no section 'Embedding the engine'")
endif()
string(SUBSTRING "${text}" ${at} -1 text)
string(FIND "${text}" "```c\n" from)
string(SUBSTRING "${text}" ${from} -1 text)
string(LENGTH "```c\n" skip)
string(SUBSTRING "${text}" ${skip} -1 text)
string(FIND "${text}" "```" to)
string(SUBSTRING "${text}" 0 ${to} code)
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/example.c "${code}")
get_filename_component(libdir ${LIB} DIRECTORY)
separate_arguments(extra UNIX_COMMAND "${EXTRA}") # the sanitizers of a sanitized library
execute_process(COMMAND ${CC} ${extra} -std=c99 -Wall -Wextra -Wpedantic -Werror -I${INCLUDE}
  ${WORK}/example.c -L${libdir} -lrsid-engine -Wl,-rpath,${libdir} -o ${WORK}/example
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the README's example does not compile:\n${err}")
endif()
execute_process(COMMAND python3 ${INPUTS} ${WORK} RESULT_VARIABLE rc)
# The WAV header goes in as 22 samples: it is far too short to matter.
execute_process(COMMAND ${WORK}/example 22050 INPUT_FILE ${WORK}/several.wav
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
string(REGEX MATCHALL "code 131" found "${out}")
list(LENGTH found n)
if(NOT rc EQUAL 0 OR NOT n EQUAL 3)
  message(FATAL_ERROR "the README's example printed (exit ${rc}):\n${out}")
endif()
message(STATUS "${out}")
