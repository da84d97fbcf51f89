# Lumatrice.dlv: the plug-in module. The resource script is compiled by
# llvm-rc and embedded as a note; the entry is DllMain through the ELF entry
# address; only the four exports leave the module.
find_program(LLVM_RC NAMES llvm-rc llvm-rc-14 REQUIRED)

set(lumatrice_rc ${CMAKE_CURRENT_SOURCE_DIR}/Lumatrice.rc)
set(lumatrice_res ${CMAKE_CURRENT_BINARY_DIR}/Lumatrice.res)
# The script takes its IDs from the effect's resource_ids.h, in the effect's
# include directory. llvm-rc also takes /flags, so an absolute input path such
# as /check/... would be read as an option: "--" ends the options.
set(effect_include ${CMAKE_SOURCE_DIR}/effect)
add_custom_command(
  OUTPUT ${lumatrice_res}
  COMMAND ${LLVM_RC} -I ${effect_include} -fo ${lumatrice_res} -- ${lumatrice_rc}
  DEPENDS ${lumatrice_rc} ${effect_include}/resource_ids.h
  COMMENT "Compiling the module's resources"
  VERBATIM)
add_custom_target(lumatrice_resources DEPENDS ${lumatrice_res})

set_source_files_properties(resource_note.cpp PROPERTIES
  COMPILE_DEFINITIONS "LUMATRICE_RES_FILE=\"${lumatrice_res}\""
  OBJECT_DEPENDS ${lumatrice_res})

add_library(lumatrice_module MODULE
  module_main.cpp
  resource_note.cpp)
add_dependencies(lumatrice_module lumatrice_resources)
set_target_properties(lumatrice_module PROPERTIES
  OUTPUT_NAME Lumatrice PREFIX "" SUFFIX ".dlv"
  LIBRARY_OUTPUT_DIRECTORY ${LUMATRICE_BIN}
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
  LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/exports.map)
# The effect's objects, its headers and, through it, the host libraries.
target_link_libraries(lumatrice_module PRIVATE lumatrice_effect)
target_link_options(lumatrice_module PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/exports.map
  -Wl,-e,DllMain
  -Wl,-z,defs)

# Where tests and tools find the module's compiled resources.
set(LUMATRICE_RES_FILE ${lumatrice_res} CACHE INTERNAL "compiled resources of Lumatrice.dlv")
