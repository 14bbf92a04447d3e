# The hardening Debian builds its own packages with (dpkg-buildflags with
# hardening=+all): stack protector and clash protection, control-flow
# protection where the processor has it, checked string and memory functions in
# optimised builds, format strings checked, a read-only relocation table bound
# at start, position-independent programs. Not in the sanitizer and fuzzing
# builds, whose run-time libraries do the checking (and refuse _FORTIFY_SOURCE).
option(TARNWICK_HARDENING "Build with Debian's hardening flags" ON)
if(NOT TARNWICK_HARDENING OR TARNWICK_SANITIZE OR TARNWICK_FUZZ)
  return()
endif()

include(CheckCXXCompilerFlag)
include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
foreach(flag -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "TARNWICK_HAS${flag}" has_flag)
  check_cxx_compiler_flag(${flag} ${has_flag})
  if(${has_flag})
    add_compile_options(${flag})
  endif()
endforeach()
# _FORTIFY_SOURCE needs the optimiser; a Debug build would only warn about it.
# Undefined first: some compilers define it themselves.
add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
# With these flags g++ 12 takes std::string's own copies (operator+, inlined
# from libstdc++) for out-of-bounds reads and writes, depending on what was
# inlined where (GCC bugs 105329 and 105651, fixed in 13); a header included a
# little earlier is enough to stop the build. AddressSanitizer checks the
# bounds at run time instead.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread)
endif()
add_link_options(LINKER:-z,relro LINKER:-z,now)
