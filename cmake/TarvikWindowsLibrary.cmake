# Tarvik.dll: the .def file names the exports (on PE it is what hides everything else), and
# the import library libTarvik.dll.a is made beside it.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(TARVIK_DEF_FILE ${PROJECT_SOURCE_DIR}/library/windows/Tarvik-win64.def)
else()
  set(TARVIK_DEF_FILE ${PROJECT_SOURCE_DIR}/library/windows/Tarvik-win32.def)
endif()
set_target_properties(Tarvik PROPERTIES
  PREFIX ""
  OUTPUT_NAME Tarvik
  IMPORT_PREFIX "lib"
  IMPORT_SUFFIX ".dll.a"
  LINK_DEPENDS ${TARVIK_DEF_FILE})
target_link_options(Tarvik PRIVATE
  ${TARVIK_DEF_FILE}
  -Wl,--no-undefined
  # Address-space randomisation and no execution of data, as Windows' own DLLs have.
  -Wl,--dynamicbase -Wl,--nxcompat)
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  target_link_options(Tarvik PRIVATE -Wl,--high-entropy-va)
endif()
# The zip ships it, as Tarvik.def.
set(TARVIK_DEF_FILE ${TARVIK_DEF_FILE} PARENT_SCOPE)
