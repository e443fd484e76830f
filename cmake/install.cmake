# Installation where Debian's web servers look for CGI programs: /usr/lib/cgi-bin/stillcam, and the
# page in /usr/share/stillcam. Another prefix (-DCMAKE_INSTALL_PREFIX, or cmake --install --prefix)
# moves both; STILLCAM_CGI_DIR and STILLCAM_PAGE_DIR move each, relative to the prefix or absolute.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
set(STILLCAM_CGI_DIR lib/cgi-bin CACHE STRING "Folder of the installed CGI program")
set(STILLCAM_PAGE_DIR share/stillcam CACHE STRING "Folder of the installed webcam page")

# Before anything is copied: note the folders this installation creates, so that uninstall can take
# them away again and leave every folder that was there before, and the DESTDIR it goes to, which
# CMake's manifest leaves out.
set(stillcam_created_dirs_file ${PROJECT_BINARY_DIR}/install_created_dirs.txt)
set(stillcam_destdir_file ${PROJECT_BINARY_DIR}/install_destdir.txt)
install(CODE "
  set(STILLCAM_INSTALL_DIRS \"${STILLCAM_CGI_DIR};${STILLCAM_PAGE_DIR}\")
  set(STILLCAM_CREATED_DIRS_FILE \"${stillcam_created_dirs_file}\")
  set(STILLCAM_DESTDIR_FILE \"${stillcam_destdir_file}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/install_notes.cmake\")
")
# Plain 0755: the program needs no privilege of its own, only the server user's access to the camera.
install(TARGETS stillcam RUNTIME DESTINATION ${STILLCAM_CGI_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(FILES ${PROJECT_SOURCE_DIR}/web/index.html DESTINATION ${STILLCAM_PAGE_DIR})

# cmake --build build --target uninstall: removes the files of the last installation (CMake's own
# install_manifest.txt, under the DESTDIR it went to) and the folders it created, each only once it is
# empty.
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DMANIFEST=${PROJECT_BINARY_DIR}/install_manifest.txt
          -DCREATED_DIRS_FILE=${stillcam_created_dirs_file} -DDESTDIR_FILE=${stillcam_destdir_file}
          -P ${PROJECT_SOURCE_DIR}/cmake/uninstall.cmake
  VERBATIM)
