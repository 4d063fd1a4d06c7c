# Run by cpack after the files are staged and before they are archived: every staged file and
# folder gets the time SOURCE_DATE_EPOCH, so that the archive does not say when it was built.
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
if(staged)
  execute_process(COMMAND touch -h -d "@${CPACK_CALENDARIO_SOURCE_DATE_EPOCH}" ${staged})
endif()
