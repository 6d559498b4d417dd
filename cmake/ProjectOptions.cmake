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

# Hardening as Debian builds its packages (dpkg-buildflags with every
# hardening feature): stack protector, _FORTIFY_SOURCE, format checks,
# relro and immediate binding. Sanitizer and fuzzer builds bring their own.
if(NOT SANITIZE AND NOT BUILD_FUZZERS)
  find_program(DPKG_BUILDFLAGS dpkg-buildflags)
  if(DPKG_BUILDFLAGS)
    set(buildflags_env DEB_BUILD_MAINT_OPTIONS=hardening=+all)
    if(CMAKE_LIBRARY_ARCHITECTURE STREQUAL "arm-linux-gnueabihf")
      list(APPEND buildflags_env DEB_HOST_ARCH=armhf)
    endif()
    foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
      execute_process(COMMAND ${CMAKE_COMMAND} -E env ${buildflags_env} ${DPKG_BUILDFLAGS} --get ${kind}
                      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
      separate_arguments(flags UNIX_COMMAND "${flags}")
      # Optimisation, debug information and path mapping stay with the build type.
      list(FILTER flags EXCLUDE REGEX "^-(O[0-9s]?|g|ffile-prefix-map=.*|fdebug-prefix-map=.*)$")
      if(kind STREQUAL "LDFLAGS")
        target_link_options(project_options INTERFACE ${flags})
      else()
        target_compile_options(project_options INTERFACE ${flags})
      endif()
    endforeach()
  endif()
endif()

# 32-bit targets: a 64-bit time_t (and the file offsets glibc requires with
# it; glibc 2.34 and later), so that the clock, the timestamps and the log's
# time stamps go on past January 2038. Every target of the project links
# these options, so none of its files disagrees on the type.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_compile_definitions(project_options INTERFACE _TIME_BITS=64 _FILE_OFFSET_BITS=64)
endif()
