# Shared build settings and helpers for the Corvaline libraries.

add_library(corvaline_warnings INTERFACE)
target_compile_options(corvaline_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wno-missing-field-initializers)

if(CORVALINE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(CORVALINE_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

function(corvaline_optional_subdirectory dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endfunction()

# corvaline_audiocore_library(<subsystem> [DEPS targets...])
# Builds audiocore/src/<subsystem>/*.{c,cpp} into the static library corvaline_<subsystem>
# (alias corvaline::<subsystem>), with audiocore/include as its public include root.
function(corvaline_audiocore_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  if(NOT sources)
    # Headers only so far.
    add_library(corvaline_${name} INTERFACE)
    add_library(corvaline::${name} ALIAS corvaline_${name})
    target_include_directories(corvaline_${name} INTERFACE ${PROJECT_SOURCE_DIR}/audiocore/include)
    target_link_libraries(corvaline_${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(corvaline_${name} STATIC ${sources})
  add_library(corvaline::${name} ALIAS corvaline_${name})
  target_include_directories(corvaline_${name} PUBLIC ${PROJECT_SOURCE_DIR}/audiocore/include)
  target_link_libraries(corvaline_${name} PUBLIC ${ARG_DEPS} PRIVATE corvaline_warnings ${ARG_PRIVATE_DEPS})
  set_target_properties(corvaline_${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endfunction()

# corvaline_test_suite(<name> DEPS targets...)
# Builds every tests/<name>/*.cpp into test_<name> and registers its cases with CTest.
function(corvaline_test_suite name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_link_libraries(test_${name} PRIVATE ${ARG_DEPS} corvaline_test_support
    GTest::gtest GTest::gmock GTest::gtest_main corvaline_warnings)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  gtest_discover_tests(test_${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS ${name}
    DISCOVERY_TIMEOUT 60)
endfunction()
