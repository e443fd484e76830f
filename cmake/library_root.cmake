# Each library is seen through an include root of its own that holds only its folder (a link in the
# build tree), so that "capture/x.h" can be included only by a target that links the capture library.
# The include lines keep their library prefix; a header of a library a target does not link is not
# found, and the compiler stops there.
function(stillcam_library_root target folder)
  set(root ${PROJECT_BINARY_DIR}/include-roots/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  target_include_directories(${target} PUBLIC ${root})
endfunction()
