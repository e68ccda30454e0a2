file(GLOB_RECURSE files
  ${ROOT}/audiocore/*.hpp ${ROOT}/audiocore/*.cpp ${ROOT}/audiocore/*.h ${ROOT}/audiocore/*.c
  ${ROOT}/sidondsp/*.hpp ${ROOT}/sidondsp/*.cpp
  ${ROOT}/playback/*.hpp ${ROOT}/playback/*.cpp ${ROOT}/cli/*.cpp ${ROOT}/cli/*.hpp)
set(bad "")
foreach(f IN LISTS files)
  file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]Q")
  if(lines)
    list(APPEND bad ${f})
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "Qt headers included by engine files: ${bad}")
endif()
