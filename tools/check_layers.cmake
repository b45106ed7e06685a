# Fails when a source file includes a header of a layer it may not use.
#   cmake -DSOURCE_DIR=<repository> -P tools/check_layers.cmake
# Each rule names a folder and the folders of ours that its files may
# include; the most specific folder decides. Headers included without a
# folder are the generated interface headers (vaduna_html.h, vaduna_contract.h).
cmake_minimum_required(VERSION 3.20)
if(NOT SOURCE_DIR)
  message(FATAL_ERROR "SOURCE_DIR is not set")
endif()

set(rules
  "base:base"
  "interface:interface"
  "hosting:base interface hosting"
  "object_model/script:base interface object_model/script"
  "object_model/errors:base interface object_model/errors"
  "object_model:base interface hosting object_model/script object_model/errors object_model"
  "registration:base interface hosting registration"
  "server:base interface hosting object_model/script object_model/errors object_model registration server"
  "connector:base interface connector"
  "tools:base interface tools"
)
# The files of object_model/ itself, lowest first: each may include the
# headers of the ones before it, never of one after it. A source file takes
# the place of the header it implements.
set(object_model_order
  wrap_gate wrapper_registry page_owner shared_attachment server_context
  script_wrapper dual_script_wrapper wrapper_calls service_object property_set_object
  application_object wrapper_factory)
set(object_model_sources_of_property_set_object property_set_properties property_set_children)

# Folders whose generated-header includes are not allowed.
set(no_generated base)

# The folder of ours that an include names: its first one or two components,
# whichever a rule knows.
function(layer_of path out)
  string(REGEX MATCH "^[^/]+/[^/]+" two "${path}")
  string(REGEX MATCH "^[^/]+" one "${path}")
  foreach(rule ${rules})
    string(REGEX MATCH "^[^:]+" folder "${rule}")
    if(folder STREQUAL two)
      set(${out} "${two}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "${one}" PARENT_SCOPE)
endfunction()

# The place of an object_model/ file in object_model_order; -1 when unknown.
function(object_model_rank path out)
  get_filename_component(stem "${path}" NAME_WE)
  if(stem IN_LIST object_model_sources_of_property_set_object)
    set(stem property_set_object)
  endif()
  list(FIND object_model_order "${stem}" rank)
  set(${out} ${rank} PARENT_SCOPE)
endfunction()

set(violations 0)
foreach(rule ${rules})
  string(REGEX MATCH "^[^:]+" folder "${rule}")
  string(REGEX REPLACE "^[^:]+:" "" allowed "${rule}")
  separate_arguments(allowed)
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR}
    ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.rc ${SOURCE_DIR}/${folder}/*.in)
  foreach(file ${files})
    # A file belongs to the most specific rule that covers it.
    layer_of("${file}" owner)
    if(NOT owner STREQUAL folder)
      continue()
    endif()
    file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
    foreach(line ${includes})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" header "${line}")
      if(IS_ABSOLUTE "${header}" OR header MATCHES "^@")
        continue()  # configured paths of the resource scripts
      endif()
      if(NOT header MATCHES "/")
        if(folder IN_LIST no_generated)
          message(SEND_ERROR "${file}: the ${folder} layer includes the generated header \"${header}\"")
          math(EXPR violations "${violations} + 1")
        endif()
        continue()
      endif()
      layer_of("${header}" target)
      if(NOT target IN_LIST allowed)
        message(SEND_ERROR "${file}: the ${folder} layer may not include \"${header}\" (it may use: ${allowed})")
        math(EXPR violations "${violations} + 1")
      elseif(folder STREQUAL "object_model" AND target STREQUAL "object_model")
        object_model_rank("${file}" own)
        object_model_rank("${header}" used)
        if(own EQUAL -1)
          message(SEND_ERROR "${file}: not placed in object_model_order")
          math(EXPR violations "${violations} + 1")
        elseif(used GREATER own)
          message(SEND_ERROR "${file}: includes \"${header}\", which sits above it in object_model/")
          math(EXPR violations "${violations} + 1")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations GREATER 0)
  message(FATAL_ERROR "${violations} include(s) reach a layer they may not use")
endif()
message(STATUS "layers: every include stays within what its layer may use")
