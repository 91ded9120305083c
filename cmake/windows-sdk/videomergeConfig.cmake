# SPDX-License-Identifier: MIT
# videomerge for 64-bit Windows, as the SDK zip lays it out: find_package
# (videomerge) with CMAKE_PREFIX_PATH at the unpacked folder gives the
# imported target videomerge::videomerge, with the import library for the
# compiler at hand (MSVC's videomerge.lib or MinGW's libvideomerge.dll.a).
get_filename_component(_videomerge_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET videomerge::videomerge)
  add_library(videomerge::videomerge SHARED IMPORTED)
  if(MSVC)
    set(_videomerge_implib "${_videomerge_root}/lib/videomerge.lib")
  else()
    set(_videomerge_implib "${_videomerge_root}/lib/libvideomerge.dll.a")
  endif()
  set_target_properties(videomerge::videomerge PROPERTIES
    IMPORTED_LOCATION "${_videomerge_root}/bin/videomerge.dll"
    IMPORTED_IMPLIB "${_videomerge_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_videomerge_root}/include")
  unset(_videomerge_implib)
endif()
unset(_videomerge_root)
