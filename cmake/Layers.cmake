# Include roots that enforce the layers. Headers are included by their path
# from the top of the tree ("platform/metadata/store.h"), but no target sees
# the whole tree: each layer exports a root of its own that holds only its
# folder (a link to it), and a target sees the roots of what it links. A layer
# that does not depend on another cannot include that layer's headers: the
# build fails if it tries.
#
#   orvane_layer(TARGET FOLDER...)   FOLDER relative to the top, e.g. platform/metadata
function(orvane_layer target)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  foreach(folder IN LISTS ARGN)
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${root}/${folder})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
