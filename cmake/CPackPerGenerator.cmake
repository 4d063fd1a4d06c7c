# Read by cpack once for each generator.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_CALENDARIO_SOURCE_DATE_EPOCH}")
if(CPACK_GENERATOR STREQUAL "TGZ")
  # bin/, share/ and lib/ at the top of the archive, to be unpacked into a prefix such as
  # /usr/local with --strip-components=1: the unit names the program there.
  set(CPACK_PACKAGING_INSTALL_PREFIX "/")
  set(CPACK_SET_DESTDIR OFF)
  set(ENV{CALENDARIO_UNIT_PREFIX} "/usr/local")
  set(ENV{CALENDARIO_PACKAGE} "tgz")
elseif(CPACK_GENERATOR STREQUAL "DEB")
  set(ENV{CALENDARIO_UNIT_PREFIX} "/usr")
  set(ENV{CALENDARIO_PACKAGE} "deb")
elseif(CPACK_GENERATOR STREQUAL "RPM")
  set(ENV{CALENDARIO_UNIT_PREFIX} "/usr")
  set(ENV{CALENDARIO_PACKAGE} "rpm")
endif()
