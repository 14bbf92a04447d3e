# What makes the build faster without changing what it builds: a compiler
# cache, a faster linker, precompiled headers and unity builds of the test
# programs. Each can be turned off, and the programs come out the same:
#   TARNWICK_CCACHE=OFF   TARNWICK_LINKER=default   TARNWICK_PCH=OFF   TARNWICK_UNITY=OFF

option(TARNWICK_CCACHE "Compile through ccache when it is installed and no launcher is given" ON)
set(TARNWICK_LINKER auto CACHE STRING "Linker: auto (mold, else lld, else the compiler's own), mold, lld, gold, bfd or default")
set_property(CACHE TARNWICK_LINKER PROPERTY STRINGS auto mold lld gold bfd default)
option(TARNWICK_PCH "Precompiled headers (GoogleTest, Qt, the standard library) for the tests and the window" ON)
option(TARNWICK_UNITY "Unity builds of the test programs (a few test files compiled as one)" ON)

# ---- compiler cache ----
if(TARNWICK_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  find_program(TARNWICK_CCACHE_PROGRAM ccache)
  if(TARNWICK_CCACHE_PROGRAM)
    set(CMAKE_CXX_COMPILER_LAUNCHER "${TARNWICK_CCACHE_PROGRAM}")
  endif()
endif()
# A precompiled header is cached only when ccache may ignore the time macros
# and the header's own time stamps (its .gch is always newer than the sources);
# the header's contents are still hashed. Whatever sloppiness ccache is already
# configured with is kept.
if(TARNWICK_PCH AND CMAKE_CXX_COMPILER_LAUNCHER MATCHES "ccache$")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER_LAUNCHER} -k sloppiness
    OUTPUT_VARIABLE configured_sloppiness OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  string(REPLACE " " "" configured_sloppiness "${configured_sloppiness}")
  set(sloppiness "${configured_sloppiness}")
  foreach(item pch_defines time_macros include_file_mtime include_file_ctime)
    if(NOT sloppiness MATCHES "(^|,)${item}(,|$)")
      string(APPEND sloppiness ",${item}")
    endif()
  endforeach()
  string(REGEX REPLACE "^," "" sloppiness "${sloppiness}")
  find_program(TARNWICK_ENV_PROGRAM env REQUIRED)
  set(CMAKE_CXX_COMPILER_LAUNCHER "${TARNWICK_ENV_PROGRAM}" "CCACHE_SLOPPINESS=${sloppiness}" ${CMAKE_CXX_COMPILER_LAUNCHER})
endif()

# ---- linker ----
set(tarnwick_linker "")
if(TARNWICK_LINKER STREQUAL "auto")
  include(CheckLinkerFlag)
  foreach(candidate mold lld)
    check_linker_flag(CXX "-fuse-ld=${candidate}" TARNWICK_LINKER_${candidate}_WORKS)
    if(TARNWICK_LINKER_${candidate}_WORKS)
      set(tarnwick_linker ${candidate})
      break()
    endif()
  endforeach()
elseif(NOT TARNWICK_LINKER STREQUAL "default")
  set(tarnwick_linker ${TARNWICK_LINKER})
endif()
if(tarnwick_linker)
  add_link_options(-fuse-ld=${tarnwick_linker})
  message(STATUS "Linker: ${tarnwick_linker}")
endif()

# ---- precompiled headers ----
# tarnwick_precompile(target KIND...) gives the target a precompiled header of
# the KINDs it names: std (the standard library parts most files use), gtest
# (GoogleTest and GoogleMock), qt (the Qt headers the window uses). A source
# never depends on it: every file still includes what it uses, and the build
# is the same with TARNWICK_PCH=OFF.
set(TARNWICK_PCH_std
  <algorithm> <atomic> <chrono> <cstdint> <cstring> <functional> <map> <memory> <mutex>
  <string> <string_view> <thread> <utility> <vector>)
set(TARNWICK_PCH_gtest <gtest/gtest.h> <gmock/gmock.h>)
set(TARNWICK_PCH_qt
  <QApplication> <QCheckBox> <QComboBox> <QHBoxLayout> <QLabel> <QLineEdit> <QPushButton>
  <QString> <QStringList> <QTableView> <QVBoxLayout> <QWidget>)
function(tarnwick_precompile target)
  if(NOT TARNWICK_PCH)
    return()
  endif()
  set(headers "")
  foreach(kind IN LISTS ARGN)
    list(APPEND headers ${TARNWICK_PCH_${kind}})
  endforeach()
  target_precompile_headers(${target} PRIVATE ${headers})
  # clang writes the header's time stamp into the .pch; ccache needs it left out.
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE "SHELL:-Xclang -fno-pch-timestamp")
  endif()
endfunction()

# ---- unity builds ----
# tarnwick_unity(target) compiles the target's sources a few at a time as one
# file. Files of one target then share a translation unit: two of them must not
# define the same name at file scope (in an unnamed namespace or static). Where
# they must, keep one file out with
#   set_source_files_properties(FILE PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
# in tests/CMakeLists.txt, or rename the helper.
function(tarnwick_unity target)
  if(TARNWICK_UNITY)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 4)
    # g++ takes every file but the first of a batch for a header, and a test
    # fixture in an unnamed namespace of a header for a mistake.
    target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-subobject-linkage>)
  endif()
endfunction()
