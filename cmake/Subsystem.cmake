# vidoria_subsystem(NAME DEPENDS ...)
# Builds src/NAME/*.cpp (the desktop program's F_* forms excluded) into the static
# library vidoria_NAME. A folder that has no sources yet becomes an interface target,
# so the dependency graph stays the same while subsystems are filled in.
set(VIDORIA_SUBSYSTEMS "" CACHE INTERNAL "")

function(vidoria_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "/F_[^/]*\\.cpp$")
  if(sources)
    add_library(vidoria_${name} STATIC ${sources})
    target_include_directories(vidoria_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(vidoria_${name} PUBLIC ${ARG_DEPENDS})
  else()
    add_library(vidoria_${name} INTERFACE)
    target_include_directories(vidoria_${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(vidoria_${name} INTERFACE ${ARG_DEPENDS})
  endif()
  set(VIDORIA_SUBSYSTEMS ${VIDORIA_SUBSYSTEMS} vidoria_${name} CACHE INTERNAL "")
endfunction()
