# Building Node.js native modules (<name>.node) without node-gyp.
#
#   vsp_node_module(<target> MODNAME <name> SOURCES <src>... [LIBS <lib>...])
#
# Makes a SHARED library file "<name>.node". Its only exported symbol is
# _register_<name>_, a constructor pointer that the module source defines
# (in .init_array on Linux, .CRT$XCU on Windows) and that calls
# napi_module_register when the host loads the file. Node-API functions are
# left to the host:
#   Linux    undefined symbols, bound to the node executable by the dynamic
#            loader;
#   Windows  delay imports of "node.exe" (cmake/win/node.def); the module's
#            delay-load hook maps that name to the host process image. The
#            result is statically linked against libgcc/libstdc++/winpthread,
#            so it imports Windows system DLLs only.
#
# Node-API headers come from the npm package node-api-headers
# (VSP_NODE_API_INCLUDE_DIR, default <repo>/node_modules/node-api-headers/include).
#
# Including this file also makes jsonc::jsonc available (see WindowsDeps.cmake).
include_guard(GLOBAL)

include("${CMAKE_CURRENT_LIST_DIR}/WindowsDeps.cmake")

set(VSP_NODE_API_INCLUDE_DIR "${VSP_REPO_ROOT}/node_modules/node-api-headers/include"
    CACHE PATH "Directory containing node_api.h")
if(NOT EXISTS "${VSP_NODE_API_INCLUDE_DIR}/node_api.h")
  message(FATAL_ERROR
    "node_api.h not found in ${VSP_NODE_API_INCLUDE_DIR}.\n"
    "Run scripts/setup-machine.sh (or npm ci in ${VSP_REPO_ROOT}).")
endif()

function(vsp_node_module target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "MODNAME" "SOURCES;LIBS")
  if(NOT ARG_MODNAME)
    message(FATAL_ERROR "vsp_node_module(${target}): MODNAME is required")
  endif()
  if(ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vsp_node_module(${target}): unexpected arguments: ${ARG_UNPARSED_ARGUMENTS}")
  endif()
  set(_entry "_register_${ARG_MODNAME}_")
  set(_gen "${CMAKE_CURRENT_BINARY_DIR}/${target}.nodemod")

  add_library(${target} SHARED ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME "${ARG_MODNAME}"
    SUFFIX ".node"
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE "${VSP_NODE_API_INCLUDE_DIR}")
  target_compile_definitions(${target} PRIVATE BUILDING_NODE_EXTENSION)
  if(WIN32)
    # Node-API calls must go to the delay-load stubs by name: called through their
    # import slots instead (dllimport), nothing names the stubs, the i686 linker drops
    # them and the slots stay 0, so the module crashes while it loads.
    target_compile_definitions(${target} PRIVATE NAPI_EXTERN=)
    target_link_options(${target} PRIVATE "-Wl,-Map=${_gen}/link.map")
  endif()

  if(WIN32)
    # The .def file both limits the export table to the entry symbol and
    # names the export directory after the real file name.
    file(CONFIGURE OUTPUT "${_gen}/exports.def" CONTENT
"LIBRARY ${ARG_MODNAME}.node
EXPORTS
    ${_entry} DATA
")
    target_sources(${target} PRIVATE "${_gen}/exports.def")
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} node_delayimp)
    # -static: libgcc, libstdc++ and winpthread go into the module, so it
    # loads on a machine with nothing but Windows itself. The .def already
    # turns off ld's export-everything default; --exclude-all-symbols keeps it
    # off should the .def ever be dropped from the link.
    target_link_options(${target} PRIVATE
      -static
      -Wl,--exclude-all-symbols)
  else()
    file(CONFIGURE OUTPUT "${_gen}/exports.map" CONTENT
"{
  global:
    ${_entry};
  local:
    *;
};
")
    target_link_libraries(${target} PRIVATE ${ARG_LIBS})
    target_link_options(${target} PRIVATE
      "LINKER:--version-script=${_gen}/exports.map")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${_gen}/exports.map")
  endif()
endfunction()
