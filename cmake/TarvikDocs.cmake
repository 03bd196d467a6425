# HTML of the public header, when doxygen is there: `cmake --build <dir> --target docs`.
# Never part of the default build.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  set(DOXYGEN_PROJECT_NAME Tarvik)
  set(DOXYGEN_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/docs)
  set(DOXYGEN_OPTIMIZE_OUTPUT_FOR_C YES)
  set(DOXYGEN_GENERATE_LATEX NO)
  set(DOXYGEN_EXTRACT_ALL YES)
  set(DOXYGEN_USE_MDFILE_AS_MAINPAGE ${PROJECT_SOURCE_DIR}/README.md)
  doxygen_add_docs(docs ${PROJECT_SOURCE_DIR}/library/include/Tarvik.h ${PROJECT_SOURCE_DIR}/README.md
    COMMENT "HTML of the public header in ${PROJECT_BINARY_DIR}/docs/html")
endif()
