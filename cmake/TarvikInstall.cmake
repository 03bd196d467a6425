# What `cmake --install` puts where, and how other builds find it: a CMake package giving
# the imported target Tarvik::Tarvik, and tarvik.pc for pkg-config.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Consumers include <Tarvik.h> from the installed tree; the build tree's own users get the
# folder through the area libraries.
target_include_directories(Tarvik INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/library/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

install(TARGETS Tarvik EXPORT TarvikTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
    NAMELINK_COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/library/include/Tarvik.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT runtime)
install(TARGETS tarvik-modemsim tarvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT runtime)
if(TARGET tarvikd)
  install(TARGETS tarvikd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  install(FILES gateway/systemd/tarvikd.service
    DESTINATION ${CMAKE_INSTALL_PREFIX}/lib/systemd/system COMPONENT runtime)
  install(FILES gateway/tarvikd.toml.example docs/gateway.md
    gateway/udev/70-tarvik-modem.rules.example
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtarvik COMPONENT runtime)
  # Beside the file tarvikd reads, which the operator writes from it: a configuration
  # with the example's key would open the API to anyone who read the example.
  install(FILES gateway/tarvikd.toml.example
    DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/tarvik COMPONENT runtime)
  install(DIRECTORY gateway/console/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvikd/console
    COMPONENT runtime)
endif()
install(FILES docs/tarvik.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
if(TARGET Quorrel)
  # Quorrel looks in its own folder first, then through the loader's search, which finds
  # the library in the library folder.
  install(TARGETS Quorrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()

set(TARVIK_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/libtarvik)
install(FILES README.md DESTINATION ${TARVIK_DOC_DIR} COMPONENT runtime)
install(FILES docs/quorrel-en.png docs/quorrel-zh.png docs/console-en.png docs/console-zh.png
  docs/console-send-en.png docs/console-send-zh.png
  DESTINATION ${TARVIK_DOC_DIR}/docs COMPONENT runtime)
install(DIRECTORY docs/examples DESTINATION ${TARVIK_DOC_DIR}/docs COMPONENT runtime)
# The README links these user documents beside it.
file(GLOB TARVIK_USER_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${TARVIK_USER_DOCS} DESTINATION ${TARVIK_DOC_DIR}/docs COMPONENT runtime)

set(TARVIK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvik)
install(EXPORT TarvikTargets NAMESPACE Tarvik:: DESTINATION ${TARVIK_CMAKE_DIR}
  COMPONENT runtime)
configure_package_config_file(cmake/TarvikConfig.cmake.in
  ${PROJECT_BINARY_DIR}/cmake/TarvikConfig.cmake
  INSTALL_DESTINATION ${TARVIK_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/cmake/TarvikConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/cmake/TarvikConfig.cmake
  ${PROJECT_BINARY_DIR}/cmake/TarvikConfigVersion.cmake
  DESTINATION ${TARVIK_CMAKE_DIR} COMPONENT runtime)

# tarvik.pc names its prefix relative to its own folder, so that the tree can be installed
# under any prefix (`cmake --install --prefix`) and moved.
file(RELATIVE_PATH TARVIK_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TARVIK_PC_TO_PREFIX "${TARVIK_PC_TO_PREFIX}")
configure_file(cmake/tarvik.pc.in ${PROJECT_BINARY_DIR}/cmake/tarvik.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cmake/tarvik.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT runtime)
