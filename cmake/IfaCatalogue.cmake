# The build's reading of the table catalogue (tables/IfaTables.def): for each
# row, the header that defines the table's fields joins the generated include
# list (generated/IfaTableHeaders.h), and a generated source instantiates the
# table, its constant type module and its factory, so that the tables compile in
# parallel. The module statics that run at load live in tables/IfaTables.cpp,
# one translation unit that defines them in row order.
#
# Sets IFA_CATALOGUE_SOURCES to the generated sources.
# Writes `text` to `path` only when it differs, so that a reconfigure
# rebuilds nothing.
function(ifa_write_if_changed path text)
  set(old "")
  if(EXISTS ${path})
    file(READ ${path} old)
  endif()
  if(NOT old STREQUAL text)
    file(WRITE ${path} "${text}")
  endif()
endfunction()

set(_ifa_def ${PROJECT_SOURCE_DIR}/tables/IfaTables.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_ifa_def})
file(STRINGS ${_ifa_def} _ifa_rows REGEX "^IFA_TABLE\\(")

set(_ifa_headers "// Generated from tables/IfaTables.def: the field header of every table.\n#pragma once\n")
set(IFA_CATALOGUE_SOURCES)
foreach(_row IN LISTS _ifa_rows)
  string(REGEX MATCH "^IFA_TABLE\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+), *([A-Za-z0-9_]+), *([0-9a-fA-F]+)," _m "${_row}")
  if(NOT _m)
    message(FATAL_ERROR "tables/IfaTables.def: cannot read the row: ${_row}")
  endif()
  set(_table ${CMAKE_MATCH_1})
  set(_module ${CMAKE_MATCH_2})
  set(_factory ${CMAKE_MATCH_3})
  set(_id ${CMAKE_MATCH_4})
  string(APPEND _ifa_headers "#include \"tables/${_module}.h\"\n")
  set(_src ${PROJECT_BINARY_DIR}/generated/tables/${_module}.cpp)
  set(_text "// Generated from tables/IfaTables.def.\n#include \"tables/IfaTables.h\"\n#include \"runtime/TableModuleImpl.h\"\n\nIFA_SW_TABLE_INSTANCE(${_table}, ${_module}, ${_factory}, ${_id})\n")
  ifa_write_if_changed(${_src} "${_text}")
  list(APPEND IFA_CATALOGUE_SOURCES ${_src})
endforeach()
ifa_write_if_changed(${PROJECT_BINARY_DIR}/generated/IfaTableHeaders.h "${_ifa_headers}")
