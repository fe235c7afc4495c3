# tavinor_module(<folder> <link dependencies...>)
# Builds every .cpp of <folder> into the static library tavinor_<folder>.
# A folder without sources yet becomes an interface library, so that the
# dependency chain stays the same while subsystems are filled in.
set(CMAKE_AUTOMOC ON)

function(tavinor_module folder)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.cpp)
  file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.h)
  set(target tavinor_${folder})
  if(sources)
    add_library(${target} STATIC ${sources} ${headers})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/${folder})
    target_link_libraries(${target} PUBLIC ${ARGN})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/${folder})
    target_link_libraries(${target} INTERFACE ${ARGN})
  endif()
endfunction()
