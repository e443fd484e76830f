# Links a pkg-config module into a target from static archives where the system has them.
# A CGI program is started once per request, and every shared library costs each start its loading,
# relocation and page faults; libjpeg, FreeType and libv4l2 are small enough to carry inside the binary.
# The C library and the other parts of glibc stay shared; libm is linked only where needed. Missing archives fall back to shared.
option(STILLCAM_LINK_ARCHIVES "Link libjpeg, FreeType, libv4l2 and libstdc++ statically where possible" ON)

function(stillcam_link_pkg target prefix)
  if(NOT STILLCAM_LINK_ARCHIVES)
    target_link_libraries(${target} PRIVATE PkgConfig::${prefix})
    return()
  endif()
  # pkg-config --static lists a library before what it needs, with repeats; an archive must come after
  # every archive that uses it, so the last occurrence of each name is the one kept.
  set(names ${${prefix}_STATIC_LIBRARIES})
  list(REVERSE names)
  list(REMOVE_DUPLICATES names)
  list(REVERSE names)
  foreach(name IN LISTS names)
    set(archive "")
    if(NOT name MATCHES "^(c|m|dl|pthread|rt)$")
      find_library(STILLCAM_ARCHIVE_${name} NAMES lib${name}.a HINTS ${${prefix}_STATIC_LIBRARY_DIRS})
      set(archive ${STILLCAM_ARCHIVE_${name}})
    endif()
    if(archive)
      target_link_libraries(${target} PRIVATE ${archive})
    elseif(name STREQUAL "m")
      # Kept only if something still needs it: libv4lconvert's powf is defined in capture instead.
      target_link_libraries(${target} PRIVATE -Wl,--push-state,--as-needed -lm -Wl,--pop-state)
    else()
      target_link_libraries(${target} PRIVATE ${name})
    endif()
  endforeach()
  target_include_directories(${target} SYSTEM PRIVATE ${${prefix}_STATIC_INCLUDE_DIRS})
  target_compile_options(${target} PRIVATE ${${prefix}_STATIC_CFLAGS_OTHER})
endfunction()
