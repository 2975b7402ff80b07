# quillon_folder_includes(target folder PUBLIC|PRIVATE)
# Code names a header by its folder ("tcp/XR_QUE.h"). Instead of the project
# root, whose include path shows every folder to everyone, each folder gets an
# include directory of its own in the build tree that holds a single entry: a
# symbolic link named after the folder, pointing at it. A target that links a
# folder's library sees that folder (and, through PUBLIC links, the folders
# below it) and nothing else, so an include that points up a layer fails to
# compile ("No such file or directory") instead of merely linking wrongly.
function(quillon_folder_includes target folder scope)
  set(dir ${PROJECT_BINARY_DIR}/include/${folder})
  if(NOT IS_SYMLINK ${dir}/${folder})
    if(NOT IS_DIRECTORY ${PROJECT_SOURCE_DIR}/${folder})
      message(FATAL_ERROR "quillon_folder_includes: no folder ${PROJECT_SOURCE_DIR}/${folder}")
    endif()
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${dir}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} ${dir})
endfunction()
