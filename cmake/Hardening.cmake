# Debian's hardening flags for every program and test of a build outside the
# Debian package (debian/rules turns this off and takes the same flags from
# dpkg-buildflags, plus the two below where it lacks them): what
# "DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags" gives on Debian 12
# (stack protector, _FORTIFY_SOURCE=2, format checks, RELRO, immediate
# binding; PIE is the compiler's default there and is asked for explicitly
# here), plus the two features that dpkg-buildflags adds from 1.22 on
# ("branch": -fcf-protection on amd64; "stackclash"), so that hardening-check
# passes. The three programs run as root and read files other users can
# influence (session directories, the PHP registry, access-log lines).
#
# Sanitized and fuzzing builds leave it out: _FORTIFY_SOURCE swaps memcpy and
# friends for checked variants that AddressSanitizer does not intercept (its
# reports get lost), and the stack protector duplicates what ASan checks.
# Those builds are for finding faults, not for shipping.
include(CheckCCompilerFlag)
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

set(varek_hardening_default ON)
if(VAREK_SANITIZE OR VAREK_BUILD_FUZZ)
  set(varek_hardening_default OFF)
endif()
option(VAREK_HARDENING "Build with Debian's hardening flags (off with sanitizers and fuzzing)"
  ${varek_hardening_default})

if(VAREK_HARDENING)
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
# PIE at the link too (-pie), wherever position-independent code is asked
# for: here, or by debian/rules, which leaves the rest of this file out.
if(CMAKE_POSITION_INDEPENDENT_CODE)
  check_pie_supported(LANGUAGES C CXX)
endif()

if(VAREK_HARDENING)
  add_compile_options(-fstack-protector-strong -Wformat -Werror=format-security)
  # Only where the compiler has them for this architecture (-fcf-protection
  # is x86's; arm64 has -mbranch-protection=standard instead).
  foreach(flag -fstack-clash-protection -fcf-protection -mbranch-protection=standard)
    string(MAKE_C_IDENTIFIER "VAREK_HAS${flag}" var)
    check_c_compiler_flag(${flag} ${var}_C)
    check_cxx_compiler_flag(${flag} ${var}_CXX)
    if(${var}_C AND ${var}_CXX)
      add_compile_options(${flag})
    endif()
  endforeach()
  add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()

# _FORTIFY_SOURCE=2 needs the optimizer (glibc warns without it), so only
# optimizing builds get it; it applies to the tests too, which therefore
# check the results that glibc then marks warn_unused_result.
if(VAREK_HARDENING AND NOT VAREK_SANITIZE)
  add_compile_definitions($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
endif()
