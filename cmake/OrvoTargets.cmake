# Conventions shared by the source folders, so that a new file needs no CMake edit:
# every .cpp of a source folder belongs to that folder's static library, every
# .cpp of tests/<folder> to that folder's test executable, and every .cpp of
# tests/helpers is a test program of its own.

# orvo_folder_library(<target> [DEPENDS <libs>...] [SYSTEM_LIBS <libs>...] [EXCLUDE <files>...])
function(orvo_folder_library target)
  cmake_parse_arguments(ARG "" "" "DEPENDS;SYSTEM_LIBS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  foreach(excluded IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources "${CMAKE_CURRENT_SOURCE_DIR}/${excluded}")
  endforeach()
  if(sources)
    add_library(${target} STATIC ${sources})
    target_include_directories(${target} PUBLIC "${CMAKE_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/generated")
    target_link_libraries(${target} PUBLIC ${ARG_DEPENDS} ${ARG_SYSTEM_LIBS})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE "${CMAKE_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/generated")
    target_link_libraries(${target} INTERFACE ${ARG_DEPENDS} ${ARG_SYSTEM_LIBS})
  endif()
endfunction()
