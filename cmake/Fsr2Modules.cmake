# fsr2_module(<name> [PUBLIC <targets>...] [PRIVATE <targets>...] [EXCLUDE <file names>...])
# One static library per folder of src/, from every .cpp in that folder. Headers are included as
# "<folder>/<file>.h" from src/; PUBLIC lists the modules the folder's headers include, PRIVATE those only
# its sources use. Which folder may include which is checked by scripts/check_layers.
function(fsr2_module name)
  cmake_parse_arguments(M "" "" "PUBLIC;PRIVATE;EXCLUDE" ${ARGN})
  file(GLOB _sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  foreach(_ex IN LISTS M_EXCLUDE)
    list(REMOVE_ITEM _sources "${CMAKE_CURRENT_SOURCE_DIR}/${_ex}")
  endforeach()
  add_library(${name} STATIC ${_sources})
  target_include_directories(${name} PUBLIC "${CMAKE_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC fsr2_deps ${M_PUBLIC} PRIVATE fsr2_options ${M_PRIVATE})
  # Every module sits on the bottom layer (the log).
  if(NOT name STREQUAL "fsr2_common")
    target_link_libraries(${name} PUBLIC fsr2_common)
  endif()
endfunction()
