# SPDX-License-Identifier: MIT
# Reads cmake/ffmpeg-components.txt and writes the run-time names of its
# demuxers and muxers into a header for the library.
function(videomerge_format_lists out_header)
  file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/ffmpeg-components.txt lines REGEX "^(de)?muxers=")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^([a-z]+)=(.*)$" _ "${line}")
    set(kind ${CMAKE_MATCH_1})
    string(REPLACE "," ";" names "${CMAKE_MATCH_2}")
    set(runtime "")
    foreach(name IN LISTS names)
      # "configure:runtime" where the two differ.
      string(REGEX REPLACE "^[^:]*:" "" name "${name}")
      list(APPEND runtime ${name})
    endforeach()
    list(REMOVE_DUPLICATES runtime)
    string(REPLACE ";" "," runtime "${runtime}")
    string(TOUPPER ${kind} upper)
    set(VM_${upper}_LIST "${runtime}")
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/cmake/ffmpeg-components.txt)
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/ffmpeg_formats.h.in ${out_header} @ONLY)
endfunction()
