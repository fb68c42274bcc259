# One interface target that every Vexaro library, program and test links, so
# the language level and the warning policy are set in exactly one place.
include_guard(GLOBAL)

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

add_library(vexaro_common INTERFACE)
target_compile_features(vexaro_common INTERFACE cxx_std_20)
option(VEXARO_WERROR "Treat warnings as errors" OFF)
target_compile_options(vexaro_common INTERFACE -Wall -Wextra)
if(VEXARO_WERROR)
  target_compile_options(vexaro_common INTERFACE -Werror)
endif()
target_include_directories(vexaro_common INTERFACE ${PROJECT_SOURCE_DIR})

find_package(Threads REQUIRED)
target_link_libraries(vexaro_common INTERFACE Threads::Threads)
