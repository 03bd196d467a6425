# The Windows build: Tarvik.dll and its import library in bin/, its tests, and the zip.
# Quorrel and the simulator are not cross-built; the tests use a native simulator.
set(TARVIK_BIN_DIR ${PROJECT_BINARY_DIR}/bin)
set_target_properties(Tarvik PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${TARVIK_BIN_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${TARVIK_BIN_DIR})
include(${PROJECT_SOURCE_DIR}/cmake/TarvikWindowsPackage.cmake)

if(TARVIK_BUILD_TESTS)
  enable_testing()
  add_subdirectory(tests)
endif()
