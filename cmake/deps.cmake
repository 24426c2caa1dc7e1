# JSON: header-only. The cross build must not see the host's /usr/include, so it gets a
# directory that holds only the library's own folder.
add_library(corvid_json INTERFACE)
if(MSVC)
  # vcpkg's packages (vcpkg.json), nothing else: there is no /usr/include to fall back on.
  find_package(nlohmann_json 3.11 CONFIG REQUIRED)
  target_link_libraries(corvid_json INTERFACE nlohmann_json::nlohmann_json)
  find_package(GTest CONFIG REQUIRED)
  include(GoogleTest)
  return()
endif()
find_package(nlohmann_json 3.11 QUIET)
if(nlohmann_json_FOUND)
  target_link_libraries(corvid_json INTERFACE nlohmann_json::nlohmann_json)
else()
  find_path(CORVID_NLOHMANN_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH
            NO_DEFAULT_PATH REQUIRED)
  set(_json_dir ${CMAKE_BINARY_DIR}/third_party/json/include)
  file(MAKE_DIRECTORY ${_json_dir})
  file(CREATE_LINK ${CORVID_NLOHMANN_DIR}/nlohmann ${_json_dir}/nlohmann SYMBOLIC)
  target_include_directories(corvid_json SYSTEM INTERFACE ${_json_dir})
endif()

# GoogleTest from Debian's sources, built by each toolchain itself.
set(CORVID_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
if(EXISTS ${CORVID_GTEST_SOURCE}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(${CORVID_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)
