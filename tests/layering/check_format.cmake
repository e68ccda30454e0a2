file(GLOB_RECURSE files
  ${ROOT}/audiocore/*.hpp ${ROOT}/audiocore/*.cpp ${ROOT}/audiocore/*.h ${ROOT}/audiocore/*.c
  ${ROOT}/sidondsp/*.hpp ${ROOT}/sidondsp/*.cpp ${ROOT}/playback/*.hpp ${ROOT}/playback/*.cpp
  ${ROOT}/cli/*.hpp ${ROOT}/cli/*.cpp ${ROOT}/app/*.hpp ${ROOT}/app/*.cpp
  ${ROOT}/tests/*.hpp ${ROOT}/tests/*.cpp ${ROOT}/bench/*.cpp)
execute_process(COMMAND ${CLANG_FORMAT} --dry-run --Werror ${files}
  RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "Files not formatted with clang-format -i:\n${errors}")
endif()
