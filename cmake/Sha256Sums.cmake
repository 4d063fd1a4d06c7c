# Writes SHA256SUMS beside the packages, for "sha256sum -c SHA256SUMS": one line for each
# package in the folder, by name. Run by cpack after each generator and by the msi target
# (-DCALENDARIO_PACKAGES=folder), so that the file lists every package made there so far. A
# package signed afterwards needs the file made again.
if(NOT DEFINED CALENDARIO_PACKAGES)
  set(CALENDARIO_PACKAGES "${CPACK_PACKAGE_DIRECTORY}")
endif()
file(GLOB found "${CALENDARIO_PACKAGES}/*.deb" "${CALENDARIO_PACKAGES}/*.rpm"
     "${CALENDARIO_PACKAGES}/*.tar.gz" "${CALENDARIO_PACKAGES}/*.zip" "${CALENDARIO_PACKAGES}/*.msi")
# cpack runs this before it moves the packages it has just made into the folder: those are
# taken from where they are, under the names they will have.
set(names "")
foreach(package IN LISTS found CPACK_PACKAGE_FILES)
  get_filename_component(name "${package}" NAME)
  string(MAKE_C_IDENTIFIER "${name}" key)
  set(path_${key} "${package}")
  list(APPEND names "${name}")
endforeach()
list(REMOVE_DUPLICATES names)
list(SORT names)
set(sums "")
foreach(name IN LISTS names)
  string(MAKE_C_IDENTIFIER "${name}" key)
  file(SHA256 "${path_${key}}" sum)
  string(APPEND sums "${sum}  ${name}\n")
endforeach()
file(MAKE_DIRECTORY "${CALENDARIO_PACKAGES}")
file(WRITE "${CALENDARIO_PACKAGES}/SHA256SUMS" "${sums}")
