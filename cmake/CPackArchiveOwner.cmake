# Run by cpack after it has made the packages: the .tar.gz is made again with GNU tar, so that
# every entry is owned by 0:0, with no user or group name, whoever built it (CMake's archive
# generator writes the builder's own; unpacked by root, the files would be theirs). Names in
# order, times at SOURCE_DATE_EPOCH, and gzip without a name or a time: still reproducible.
find_program(CALENDARIO_TAR tar REQUIRED)
find_program(CALENDARIO_GZIP gzip REQUIRED)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.tar\\.gz$")
    continue()
  endif()
  set(unpacked "${package}.unpacked")
  file(REMOVE_RECURSE "${unpacked}")
  file(MAKE_DIRECTORY "${unpacked}")
  execute_process(COMMAND ${CALENDARIO_TAR} -xpzf "${package}" -C "${unpacked}"
                  RESULT_VARIABLE failed)
  if(NOT failed)
    file(GLOB top RELATIVE "${unpacked}" "${unpacked}/*")
    execute_process(
      COMMAND ${CALENDARIO_TAR} --create --format=gnu --sort=name --owner=0 --group=0
              --numeric-owner "--mtime=@${CPACK_CALENDARIO_SOURCE_DATE_EPOCH}" -C "${unpacked}"
              -f - ${top}
      COMMAND ${CALENDARIO_GZIP} -9n
      OUTPUT_FILE "${package}.new"
      RESULT_VARIABLE failed)
  endif()
  file(REMOVE_RECURSE "${unpacked}")
  if(failed)
    file(REMOVE "${package}.new")
    message(FATAL_ERROR "${package} could not be made again with entries owned by 0:0")
  endif()
  file(RENAME "${package}.new" "${package}")
endforeach()
