# libFuzzer targets. The library is built by g++ and libFuzzer needs clang, so a fuzz
# target compiles the library sources it needs a second time with clang, beside its own
# folder. Without clang there are no fuzz tests (TARVIK_CLANGXX stays empty).
find_program(TARVIK_CLANGXX NAMES clang++ clang++-14)
if(NOT TARVIK_CLANGXX)
  message(STATUS "clang++ not found: no fuzz tests")
endif()

set(TARVIK_FUZZ_FLAGS -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined
  -fno-sanitize-recover=all -fno-omit-frame-pointer -pthread
  ${TARVIK_WARNING_FLAGS}
  -I${PROJECT_SOURCE_DIR}/library/include
  -I${PROJECT_SOURCE_DIR}/library/codec/include -I${PROJECT_SOURCE_DIR}/library/serial/include
  -I${PROJECT_SOURCE_DIR}/library/engine/include -I${PROJECT_SOURCE_DIR}/library/service/include
  -I${PROJECT_SOURCE_DIR}/library/platform/include
  -DTARVIK_SERIAL_STATE_HEADER=\"serial/SerialDeviceStatePosix.h\")

# tarvik_fuzz_objects(<out> <source>...): library sources, named relative to library/ and
# without their extension, compiled for fuzzing; the object files go into <out>.
function(tarvik_fuzz_objects out)
  set(objects)
  foreach(source ${ARGN})
    string(REPLACE "/" "_" name ${source})
    set(object ${CMAKE_CURRENT_BINARY_DIR}/${name}.o)
    add_custom_command(OUTPUT ${object}
      COMMAND ${TARVIK_CLANGXX} ${TARVIK_FUZZ_FLAGS} -I${CMAKE_CURRENT_SOURCE_DIR}
              -fsanitize=fuzzer-no-link -MD -MF ${object}.d
              -c ${PROJECT_SOURCE_DIR}/library/${source}.cpp -o ${object}
      DEPENDS ${PROJECT_SOURCE_DIR}/library/${source}.cpp
      DEPFILE ${object}.d
      COMMENT "Fuzz build: ${source}"
      VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  set(${out} ${objects} PARENT_SCOPE)
endfunction()

# tarvik_fuzzer(<name> SOURCES <file>... OBJECTS <object>... [MAX_LEN n] [TEST_TIMEOUT s]):
# the program fuzz_<name> from Fuzz<name>.cpp and the other sources of this folder, and the
# test fuzz.<name>, a bounded run from the seeds in corpus/<name>. What a run finds goes to a
# scratch corpus in the build folder, never into the tree. Returns the program in
# TARVIK_FUZZER.
function(tarvik_fuzzer name)
  cmake_parse_arguments(ARG "" "MAX_LEN;TEST_TIMEOUT" "SOURCES;OBJECTS" ${ARGN})
  if(NOT ARG_MAX_LEN)
    set(ARG_MAX_LEN 0)
  endif()
  if(NOT ARG_TEST_TIMEOUT)
    set(ARG_TEST_TIMEOUT 60)
  endif()
  set(sources ${CMAKE_CURRENT_SOURCE_DIR}/Fuzz${name}.cpp)
  foreach(source ${ARG_SOURCES})
    list(APPEND sources ${CMAKE_CURRENT_SOURCE_DIR}/${source})
  endforeach()
  set(binary ${CMAKE_CURRENT_BINARY_DIR}/fuzz_${name})
  add_custom_command(OUTPUT ${binary}
    COMMAND ${TARVIK_CLANGXX} ${TARVIK_FUZZ_FLAGS} -I${CMAKE_CURRENT_SOURCE_DIR}
            -MD -MF ${binary}.d ${sources} ${ARG_OBJECTS} -o ${binary}
    DEPENDS ${sources} ${ARG_OBJECTS}
    DEPFILE ${binary}.d
    COMMENT "Fuzz build: fuzz_${name}"
    VERBATIM)
  add_test(NAME fuzz.${name}
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/run-fuzz.sh ${binary}
            ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name} ${CMAKE_CURRENT_BINARY_DIR}/work_${name}
            ${ARG_MAX_LEN})
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT ${ARG_TEST_TIMEOUT})
  set(TARVIK_FUZZER ${binary} PARENT_SCOPE)
endfunction()
