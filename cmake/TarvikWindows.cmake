# The Windows build: Tarvik.dll and its import library in bin/, Quorrel.exe beside it, their
# tests, and the zip. The simulator is not cross-built; the tests use a native one.
set(TARVIK_BIN_DIR ${PROJECT_BINARY_DIR}/bin)
set_target_properties(Tarvik PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${TARVIK_BIN_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${TARVIK_BIN_DIR})
include(${PROJECT_SOURCE_DIR}/cmake/TarvikWindowsPackage.cmake)
add_subdirectory(${PROJECT_SOURCE_DIR}/testtool ${PROJECT_BINARY_DIR}/testtool)
add_subdirectory(${PROJECT_SOURCE_DIR}/cli ${PROJECT_BINARY_DIR}/cli)

if(TARVIK_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
