# The Debian package libtarvik: the library, its header and packages for other builds,
# Quorrel and the simulator, made by `cpack -G DEB` in a build configured with the prefix
# /usr (scripts/check-package.sh does so and checks the result).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libtarvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Tarvik)
set(CPACK_PACKAGE_CONTACT "Tarvik developers <tarvik@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SMS through a cellular modem on a serial port")
set(CPACK_PACKAGE_DESCRIPTION
  "Tarvik sends and receives SMS through a GSM, CDMA, 3G or 4G modem module on a serial port, \
offered through ten C functions in libTarvik.so. The package also holds Quorrel, a \
one-window program to try the library, and tarvik-modemsim, a simulated modem on a \
pseudo-terminal for trying it without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The libraries the programs link come from dpkg-shlibdeps; what they only use at run time
# is named here: Quorrel's dialog is laid out in Liberation Sans, and its Chinese captions
# want a CJK font.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation2")
# tarvikd's user and the example of its configuration in /etc/tarvik; adduser makes the
# user.
if(TARGET tarvikd)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}, adduser")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/gateway/package/postinst ${PROJECT_SOURCE_DIR}/gateway/package/postrm
    ${PROJECT_SOURCE_DIR}/gateway/package/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk")
# A shlibs file for packages built against this one, and ldconfig on install.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
