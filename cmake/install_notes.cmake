# Runs inside cmake --install, before the files are copied. Adds to STILLCAM_CREATED_DIRS_FILE every
# folder on the way to STILLCAM_INSTALL_DIRS that does not exist yet; earlier entries are kept, so an
# installation repeated over an earlier one still knows which folders are its own. Writes the DESTDIR
# of this installation to STILLCAM_DESTDIR_FILE.
# A relative DESTDIR is taken from where cmake --install runs; uninstall may run elsewhere.
set(destdir "$ENV{DESTDIR}")
if(destdir)
  get_filename_component(destdir "${destdir}" ABSOLUTE)
endif()
file(WRITE "${STILLCAM_DESTDIR_FILE}" "${destdir}")
set(created "")
if(EXISTS "${STILLCAM_CREATED_DIRS_FILE}")
  file(STRINGS "${STILLCAM_CREATED_DIRS_FILE}" created)
endif()
foreach(dir IN LISTS STILLCAM_INSTALL_DIRS)
  if(NOT IS_ABSOLUTE "${dir}")
    set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  cmake_path(SET dir NORMALIZE "${destdir}${dir}")
  string(REGEX REPLACE "(.)/+$" "\\1" dir "${dir}")
  while(NOT EXISTS "${dir}")
    list(APPEND created "${dir}")
    get_filename_component(dir "${dir}" DIRECTORY)
  endwhile()
endforeach()
list(REMOVE_DUPLICATES created)
list(JOIN created "\n" lines)
file(WRITE "${STILLCAM_CREATED_DIRS_FILE}" "${lines}\n")
