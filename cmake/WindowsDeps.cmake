# Third-party and system link inputs for the Windows (mingw-w64) builds.
#
# Provides:
#   jsonc::jsonc             json-c as a static library built with the active
#                            cross toolchain (headers as <json-c/json.h>);
#                            advapi32 follows it on the link line (its random
#                            seed uses CryptGenRandom).
#   node_delayimp            delay-import library for the Node-API functions
#                            exported by the host executable (cmake/win/node.def).
#   newdev_extra             import library for the newdev.dll functions that
#                            Debian's libnewdev.a lacks (DiInstallDevice, ...).
#   vsp_windows_system_libs  INTERFACE target: setupapi advapi32 shlwapi
#                            newdev_extra newdev. Same list in the variable
#                            VSP_WINDOWS_SYSTEM_LIBS.
#
# On other systems only jsonc::jsonc is defined, from pkg-config json-c.
#
# json-c's source comes from Debian's source package, unpacked into
# third_party/json-c/json-c-<version>/ by scripts/setup-machine.sh. Building it
# ourselves is the only way to get a static, same-toolchain json-c for Windows
# without pulling prebuilt binaries from outside Debian.
include_guard(GLOBAL)

get_filename_component(VSP_REPO_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(VSP_WIN_DEF_DIR "${CMAKE_CURRENT_LIST_DIR}/win")

if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  if(NOT TARGET jsonc::jsonc)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(VSP_JSONC REQUIRED IMPORTED_TARGET GLOBAL json-c)
    add_library(jsonc::jsonc ALIAS PkgConfig::VSP_JSONC)
  endif()
  return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(VSP_WIN_ARCH x86_64)
else()
  set(VSP_WIN_ARCH i686)
endif()

if(NOT CMAKE_DLLTOOL)
  find_program(CMAKE_DLLTOOL NAMES ${VSP_MINGW_TRIPLE}-dlltool ${VSP_WIN_ARCH}-w64-mingw32-dlltool dlltool REQUIRED)
endif()

set(VSP_WIN_GEN_DIR "${CMAKE_BINARY_DIR}/win-imports")
file(MAKE_DIRECTORY "${VSP_WIN_GEN_DIR}")

# --- json-c -----------------------------------------------------------------
set(VSP_JSONC_SOURCE_DIR "" CACHE PATH
    "Unpacked json-c source tree (default: newest third_party/json-c/json-c-*)")
if(NOT VSP_JSONC_SOURCE_DIR)
  file(GLOB _vsp_jsonc_candidates LIST_DIRECTORIES true
       "${VSP_REPO_ROOT}/third_party/json-c/json-c-*")
  set(_vsp_jsonc_dirs "")
  foreach(_d IN LISTS _vsp_jsonc_candidates)
    if(IS_DIRECTORY "${_d}" AND EXISTS "${_d}/CMakeLists.txt")
      list(APPEND _vsp_jsonc_dirs "${_d}")
    endif()
  endforeach()
  list(SORT _vsp_jsonc_dirs COMPARE NATURAL ORDER DESCENDING)
  list(LENGTH _vsp_jsonc_dirs _vsp_n)
  if(_vsp_n EQUAL 0)
    message(FATAL_ERROR
      "json-c source not found under ${VSP_REPO_ROOT}/third_party/json-c/.\n"
      "Run scripts/setup-machine.sh (it fetches Debian's json-c source package), "
      "or set VSP_JSONC_SOURCE_DIR.")
  endif()
  list(GET _vsp_jsonc_dirs 0 _vsp_jsonc_src)
else()
  set(_vsp_jsonc_src "${VSP_JSONC_SOURCE_DIR}")
endif()
message(STATUS "json-c source: ${_vsp_jsonc_src}")

# The sub-build must see the same compilers; a relative toolchain path given on
# the command line is relative to the top build directory.
if(CMAKE_TOOLCHAIN_FILE)
  get_filename_component(_vsp_toolchain "${CMAKE_TOOLCHAIN_FILE}" ABSOLUTE
                         BASE_DIR "${CMAKE_BINARY_DIR}")
  set(_vsp_toolchain_arg "-DCMAKE_TOOLCHAIN_FILE=${_vsp_toolchain}")
else()
  set(_vsp_toolchain_arg
      "-DCMAKE_SYSTEM_NAME=${CMAKE_SYSTEM_NAME}"
      "-DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}")
endif()

if(CMAKE_BUILD_TYPE)
  set(_vsp_jsonc_bt "${CMAKE_BUILD_TYPE}")
else()
  set(_vsp_jsonc_bt Release)
endif()

set(_vsp_jsonc_prefix "${CMAKE_BINARY_DIR}/third_party/json-c")
set(_vsp_jsonc_install "${_vsp_jsonc_prefix}/install")
set(_vsp_jsonc_lib "${_vsp_jsonc_install}/lib/libjson-c.a")

include(ExternalProject)
ExternalProject_Add(jsonc_build
  SOURCE_DIR "${_vsp_jsonc_src}"
  PREFIX "${_vsp_jsonc_prefix}"
  INSTALL_DIR "${_vsp_jsonc_install}"
  CMAKE_ARGS
    ${_vsp_toolchain_arg}
    -DCMAKE_BUILD_TYPE=${_vsp_jsonc_bt}
    -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
    -DCMAKE_INSTALL_LIBDIR=lib
    -DCMAKE_INSTALL_INCLUDEDIR=include
    -DBUILD_SHARED_LIBS=OFF
    -DBUILD_STATIC_LIBS=ON
    -DBUILD_TESTING=OFF
    -DDISABLE_WERROR=ON
    -DDISABLE_EXTRA_LIBS=ON
    -DCMAKE_WARN_DEPRECATED=OFF
    -Wno-dev
  # Only the library: json-c's command line apps are not needed and are not
  # meant for Windows.
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target json-c
  INSTALL_COMMAND ${CMAKE_COMMAND} --install <BINARY_DIR>
  BUILD_BYPRODUCTS "${_vsp_jsonc_lib}"
  LOG_CONFIGURE ON
  LOG_BUILD ON
  LOG_INSTALL ON
  LOG_OUTPUT_ON_FAILURE ON
)

# Imported targets need their include dir to exist at generate time.
file(MAKE_DIRECTORY "${_vsp_jsonc_install}/include")
add_library(jsonc::jsonc STATIC IMPORTED GLOBAL)
set_target_properties(jsonc::jsonc PROPERTIES
  IMPORTED_LOCATION "${_vsp_jsonc_lib}"
  INTERFACE_INCLUDE_DIRECTORIES "${_vsp_jsonc_install}/include"
  INTERFACE_LINK_LIBRARIES advapi32)
add_dependencies(jsonc::jsonc jsonc_build)

# --- node.exe delay-import library ------------------------------------------
# dlltool derives the names of its helper symbols from the output path; it
# runs in the output directory so they do not depend on where the build is.
# A delay import (not a normal one) so that loading the module never makes
# the Windows loader look for a file called node.exe; the module's load hook
# resolves "node.exe" to the host process image instead.
set(VSP_NODE_DELAYLIB "${VSP_WIN_GEN_DIR}/libnode_delay.a")
add_custom_command(
  OUTPUT "${VSP_NODE_DELAYLIB}"
  COMMAND "${CMAKE_DLLTOOL}"
          --input-def "${VSP_WIN_DEF_DIR}/node.def"
          --dllname node.exe
          --output-delaylib libnode_delay.a
  DEPENDS "${VSP_WIN_DEF_DIR}/node.def"
  WORKING_DIRECTORY "${VSP_WIN_GEN_DIR}"
  COMMENT "dlltool: node.exe delay-import library"
  VERBATIM)
add_custom_target(node_delayimp_gen DEPENDS "${VSP_NODE_DELAYLIB}")
add_library(node_delayimp STATIC IMPORTED GLOBAL)
set_target_properties(node_delayimp PROPERTIES
  IMPORTED_LOCATION "${VSP_NODE_DELAYLIB}")
add_dependencies(node_delayimp node_delayimp_gen)

# --- newdev.dll additions ---------------------------------------------------
set(VSP_NEWDEV_EXTRA_DEF "${VSP_WIN_DEF_DIR}/newdev_extra_${VSP_WIN_ARCH}.def")
set(VSP_NEWDEV_EXTRA_LIB "${VSP_WIN_GEN_DIR}/libnewdev_extra.a")
if(VSP_WIN_ARCH STREQUAL "i686")
  # stdcall names are decorated (@n) in the .def; -k keeps the decoration on
  # the link-time symbol but imports the plain name, as newdev.dll exports it.
  set(_vsp_kill_at --kill-at)
else()
  set(_vsp_kill_at "")
endif()
add_custom_command(
  OUTPUT "${VSP_NEWDEV_EXTRA_LIB}"
  COMMAND "${CMAKE_DLLTOOL}"
          --input-def "${VSP_NEWDEV_EXTRA_DEF}"
          --dllname newdev.dll
          ${_vsp_kill_at}
          --output-lib libnewdev_extra.a
  DEPENDS "${VSP_NEWDEV_EXTRA_DEF}"
  WORKING_DIRECTORY "${VSP_WIN_GEN_DIR}"
  COMMENT "dlltool: newdev.dll extra import library"
  VERBATIM)
add_custom_target(newdev_extra_gen DEPENDS "${VSP_NEWDEV_EXTRA_LIB}")
add_library(newdev_extra STATIC IMPORTED GLOBAL)
set_target_properties(newdev_extra PROPERTIES
  IMPORTED_LOCATION "${VSP_NEWDEV_EXTRA_LIB}")
add_dependencies(newdev_extra newdev_extra_gen)

# --- system libraries -------------------------------------------------------
set(VSP_WINDOWS_SYSTEM_LIBS setupapi advapi32 shlwapi newdev_extra newdev)
add_library(vsp_windows_system_libs INTERFACE)
target_link_libraries(vsp_windows_system_libs INTERFACE ${VSP_WINDOWS_SYSTEM_LIBS})
