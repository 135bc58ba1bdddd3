# Warnings and sanitizer build types shared by every target of the project.

# Sanitizer builds: -DCMAKE_BUILD_TYPE=Asan (AddressSanitizer + UndefinedBehaviorSanitizer)
# or -DCMAKE_BUILD_TYPE=Tsan (ThreadSanitizer). See CMakePresets.json.
set(_qz_san_common "-O1 -g -fno-omit-frame-pointer")
set(CMAKE_CXX_FLAGS_ASAN "${_qz_san_common} -fsanitize=address,undefined -fno-sanitize-recover=undefined"
    CACHE STRING "" FORCE)
set(CMAKE_C_FLAGS_ASAN "${CMAKE_CXX_FLAGS_ASAN}" CACHE STRING "" FORCE)
set(CMAKE_EXE_LINKER_FLAGS_ASAN "-fsanitize=address,undefined" CACHE STRING "" FORCE)
set(CMAKE_CXX_FLAGS_TSAN "${_qz_san_common} -fsanitize=thread" CACHE STRING "" FORCE)
set(CMAKE_C_FLAGS_TSAN "${CMAKE_CXX_FLAGS_TSAN}" CACHE STRING "" FORCE)
set(CMAKE_EXE_LINKER_FLAGS_TSAN "-fsanitize=thread" CACHE STRING "" FORCE)

# Builds of sources that were built before (the sanitizer builds, a clone on a machine that
# built them already) come from ccache when it is installed. Paths are hashed relative to the
# source tree, so a checkout in another folder finds the same objects.
find_program(QZ_CCACHE ccache)
if(QZ_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(_qz_launcher env "CCACHE_BASEDIR=${PROJECT_SOURCE_DIR}" CCACHE_NOHASHDIR=1 "${QZ_CCACHE}")
  set(CMAKE_C_COMPILER_LAUNCHER ${_qz_launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${_qz_launcher})
endif()

# Our own code builds with strict warnings; third-party headers come in as system headers.
# Warnings are errors only where we ask for it (the presets that developers and CI use): a
# packager's plain build must not fail because a newer compiler warns about something new.
# GCC's flow warnings misfire on standard headers once the sanitizers rewrite the code
# (std::regex under ASan at -O1), so those builds leave -Wmaybe-uninitialized out.
option(QZ_WERROR "Treat compiler warnings in quenZOR's own code as errors" OFF)
function(qz_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${QZ_WERROR}>:-Werror>
    $<$<CONFIG:Asan,Tsan>:-Wno-maybe-uninitialized>)
endfunction()

# One static library of a subsystem folder, from the sources listed by the caller. Each folder
# links its library itself: PUBLIC only what a public header of the library includes.
function(qz_subsystem name)
  add_library(qz_${name} STATIC ${ARGN})
  target_include_directories(qz_${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  qz_strict(qz_${name})
endfunction()

# The compile flags of the file that carries cap_net_raw (the raw-ARP helper) and of what it
# links, in every build, not only in the package (whose flags come from dpkg-buildflags): a
# stack protector and position-independent code; FORTIFY where the optimiser runs, unless the
# caller's flags set a value already (the package's). The sanitizer builds are left as they
# are. The helper's own link options are in src/arphelper/CMakeLists.txt.
function(qz_helper_hardening target)
  set(_not_sanitized "$<NOT:$<CONFIG:Asan,Tsan>>")
  set(_optimised "$<CONFIG:RelWithDebInfo,Release,MinSizeRel>")
  string(TOUPPER "${CMAKE_BUILD_TYPE}" _build_type)
  if(CMAKE_CXX_FLAGS MATCHES "_FORTIFY_SOURCE" OR
     CMAKE_CXX_FLAGS_${_build_type} MATCHES "_FORTIFY_SOURCE")
    set(_optimised 0)
  endif()
  target_compile_options(${target} PRIVATE
    $<${_not_sanitized}:-fstack-protector-strong -fPIE>
    $<$<AND:${_not_sanitized},${_optimised}>:-D_FORTIFY_SOURCE=2>)
endfunction()
