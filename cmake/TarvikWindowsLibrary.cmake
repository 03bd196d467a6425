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

# 32-bit callers compiled with the header's __stdcall refer to SMSStartService@28 and so on;
# the linker's own import library knows only the plain names. dlltool's kill-at makes one
# that takes the decorated names and imports the plain ones. tarvik.exe links against it,
# so the 32-bit build proves it.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
  file(STRINGS ${TARVIK_DEF_FILE} tarvik_def_lines REGEX "^ *SMS[A-Za-z0-9]+ *= *SMS")
  set(tarvik_import_def "LIBRARY Tarvik.dll\nEXPORTS\n")
  foreach(line ${tarvik_def_lines})
    string(REGEX REPLACE "^.*= *([A-Za-z0-9_]+@[0-9]+).*$" "    \\1\n" entry "${line}")
    string(APPEND tarvik_import_def "${entry}")
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/Tarvik-import.def "${tarvik_import_def}")
  find_program(TARVIK_DLLTOOL NAMES ${TARVIK_MINGW_TRIPLE}-dlltool REQUIRED)
  add_custom_command(TARGET Tarvik POST_BUILD
    COMMAND ${TARVIK_DLLTOOL} --kill-at --def ${PROJECT_BINARY_DIR}/Tarvik-import.def
            --dllname Tarvik.dll --output-lib $<TARGET_LINKER_FILE:Tarvik>
    VERBATIM)
endif()
