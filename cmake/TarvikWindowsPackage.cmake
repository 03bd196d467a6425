# The Windows zip, Tarvik-<version>-win64.zip or -win32.zip, made by `cpack` in the build
# folder: the DLL, its import library and .def file, the header, the README and the
# examples, all in one folder.
install(TARGETS Tarvik RUNTIME DESTINATION . ARCHIVE DESTINATION .)
install(FILES ${TARVIK_DEF_FILE} DESTINATION . RENAME Tarvik.def)
install(FILES ${PROJECT_SOURCE_DIR}/library/include/Tarvik.h ${PROJECT_SOURCE_DIR}/README.md
  DESTINATION .)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/examples DESTINATION .)
file(GLOB TARVIK_USER_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${TARVIK_USER_DOCS} DESTINATION docs)

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TARVIK_WINDOWS_FLAVOUR win64)
else()
  set(TARVIK_WINDOWS_FLAVOUR win32)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Tarvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Tarvik)
set(CPACK_PACKAGE_FILE_NAME Tarvik-${PROJECT_VERSION}-${TARVIK_WINDOWS_FLAVOUR})
set(CPACK_STRIP_FILES ON)
include(CPack)
