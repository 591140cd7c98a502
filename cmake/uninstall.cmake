# Removes what `cmake --install` installed, as install_manifest.txt in the
# build tree lists it (DESTDIR included, when one was given). Folders are
# left: they may hold other programs' files.
set(manifest "${CMAKE_BINARY_DIR}/install_manifest.txt")
if(NOT EXISTS "${manifest}")
  message(FATAL_ERROR "Nothing to uninstall: ${manifest} is missing (run cmake --install first)")
endif()
file(STRINGS "${manifest}" installed)
foreach(path IN LISTS installed)
  if(EXISTS "${path}" OR IS_SYMLINK "${path}")
    message(STATUS "Removing ${path}")
    file(REMOVE "${path}")
  endif()
endforeach()
