# Warnings and sanitizers for the project's own targets, as one INTERFACE target.
add_library(project_options INTERFACE)
target_compile_options(project_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                                 -Wno-sign-conversion)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
  # Only notes about an ABI change of GCC 7 for parameter passing; harmless here.
  target_compile_options(project_options INTERFACE -Wno-psabi)
endif()

if(SANITIZE STREQUAL "address")
  set(sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(SANITIZE STREQUAL "thread")
  set(sanitize_flags -fsanitize=thread)
elseif(NOT SANITIZE STREQUAL "")
  message(FATAL_ERROR "SANITIZE must be empty, address or thread")
endif()
if(sanitize_flags)
  target_compile_options(project_options INTERFACE ${sanitize_flags})
  target_link_options(project_options INTERFACE ${sanitize_flags})
endif()

if(BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "BUILD_FUZZERS needs clang")
  endif()
  target_compile_options(project_options INTERFACE -fsanitize=fuzzer-no-link)
endif()
