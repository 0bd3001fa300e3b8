# Helpers shared by every library directory under src/ and by the tests.
#
#   halvorn_library(NAME engine SRCS book.cpp l0.cpp DEPS types)
#   halvorn_test(NAME engine_test SRCS engine_test.cpp DEPS engine)
#   halvorn_bench(NAME kernel_bench SRCS kernel_bench.cpp DEPS core)
#
# A library target is halvorn_<NAME> with the alias halvorn::<NAME>; headers are
# included from the src/ root ("engine/resting_book.hpp").  A library without sources is
# an INTERFACE target so that header-only libraries link the same way.

set(HALVORN_SRC_ROOT "${CMAKE_CURRENT_LIST_DIR}/../src")

add_library(halvorn_warnings INTERFACE)
target_compile_options(halvorn_warnings INTERFACE -Wall -Wextra)
if(HALVORN_SANITIZE)
  target_compile_options(halvorn_warnings INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(halvorn_warnings INTERFACE -fsanitize=address,undefined)
endif()

function(halvorn_library)
  cmake_parse_arguments(ARG "" "NAME" "SRCS;DEPS" ${ARGN})
  set(target halvorn_${ARG_NAME})
  if(ARG_SRCS)
    add_library(${target} STATIC ${ARG_SRCS})
    target_include_directories(${target} PUBLIC "${HALVORN_SRC_ROOT}")
    target_link_libraries(${target} PRIVATE halvorn_warnings)
    foreach(dep IN LISTS ARG_DEPS)
      target_link_libraries(${target} PUBLIC halvorn_${dep})
    endforeach()
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE "${HALVORN_SRC_ROOT}")
    foreach(dep IN LISTS ARG_DEPS)
      target_link_libraries(${target} INTERFACE halvorn_${dep})
    endforeach()
  endif()
  add_library(halvorn::${ARG_NAME} ALIAS ${target})
endfunction()

function(halvorn_test)
  cmake_parse_arguments(ARG "" "NAME" "SRCS;DEPS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SRCS})
  target_include_directories(${ARG_NAME} PRIVATE "${HALVORN_SRC_ROOT}/../tests")
  target_link_libraries(${ARG_NAME} PRIVATE halvorn_warnings GTest::gtest GTest::gtest_main)
  foreach(dep IN LISTS ARG_DEPS)
    target_link_libraries(${ARG_NAME} PRIVATE halvorn_${dep})
  endforeach()
  add_test(NAME ${ARG_NAME} COMMAND ${ARG_NAME})
endfunction()

# A benchmark: one executable, built with the project's warnings and linked to
# the libraries it measures; it includes from bench/ and tests/ (for the
# scripted strategies the tests share).
function(halvorn_bench)
  cmake_parse_arguments(ARG "" "NAME" "SRCS;DEPS" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SRCS})
  target_include_directories(${ARG_NAME} PRIVATE "${HALVORN_SRC_ROOT}/../bench"
                                                 "${HALVORN_SRC_ROOT}/../tests")
  target_link_libraries(${ARG_NAME} PRIVATE halvorn_warnings)
  foreach(dep IN LISTS ARG_DEPS)
    target_link_libraries(${ARG_NAME} PRIVATE halvorn_${dep})
  endforeach()
endfunction()
