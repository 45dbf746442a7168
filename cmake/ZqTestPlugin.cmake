# Shared by tests/fuzz and tests/rt: which plug-in library the tests load,
# and the stand-in fixture plug-ins that show each check can fail.
include_guard(GLOBAL)

set(ZQ_PLUGIN_TARGET "" CACHE STRING
    "CMake target of the plug-in library under test (empty: use ZQ_PLUGIN_SO)")
set(ZQ_PLUGIN_SO "${CMAKE_BINARY_DIR}/zwirbelton-quorvel.lv2/libzwirbelton-quorvel.so" CACHE FILEPATH
    "Plug-in library under test when ZQ_PLUGIN_TARGET is empty")

# Sets <out> to the path of the library under test (a generator expression
# when a target is named, so add_subdirectory order does not matter).
function(zq_plugin_under_test out)
  if(ZQ_PLUGIN_TARGET)
    set(${out} "$<TARGET_FILE:${ZQ_PLUGIN_TARGET}>" PARENT_SCOPE)
  else()
    set(${out} "${ZQ_PLUGIN_SO}" PARENT_SCOPE)
  endif()
endfunction()

# zq_standin_fixture(<target> <bug number>): the stand-in plug-in, built with
# one deliberate defect (0 = none); see the list in standin_plugin.cpp.
# Sets <target>_FILE in the caller's scope to its path.
function(zq_standin_fixture name bug)
  if(NOT TARGET ${name})
    add_library(${name} MODULE
      ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../tests/fuzz/standin/standin_plugin.cpp)
    target_compile_definitions(${name} PRIVATE STANDIN_BUG=${bug})
    target_compile_features(${name} PRIVATE cxx_std_20)
    set_target_properties(${name} PROPERTIES
      CXX_VISIBILITY_PRESET hidden
      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test-fixtures)
  endif()
  set(${name}_FILE "$<TARGET_FILE:${name}>" PARENT_SCOPE)
endfunction()
