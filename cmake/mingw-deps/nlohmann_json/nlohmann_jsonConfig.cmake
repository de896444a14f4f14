# nlohmann-json for the MinGW cross build. The library is header-only and the
# build machine has it in /usr/include; only its own folder is made visible
# (through a copy in the build tree), so the cross compiler never sees the
# build machine's C library headers.
if(TARGET nlohmann_json::nlohmann_json)
  return()
endif()

find_file(QVFLASH_NLOHMANN_JSON_HPP json.hpp
  PATHS /usr/include/nlohmann /usr/local/include/nlohmann
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT QVFLASH_NLOHMANN_JSON_HPP)
  set(nlohmann_json_FOUND FALSE)
  set(nlohmann_json_NOT_FOUND_MESSAGE
      "nlohmann/json.hpp not found on the build machine (install nlohmann-json3-dev)")
  return()
endif()

get_filename_component(_qv_nlohmann_src "${QVFLASH_NLOHMANN_JSON_HPP}" DIRECTORY)
set(_qv_nlohmann_include "${CMAKE_BINARY_DIR}/mingw-deps/include")
file(COPY "${_qv_nlohmann_src}" DESTINATION "${_qv_nlohmann_include}")

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_qv_nlohmann_include}")
set(nlohmann_json_FOUND TRUE)
unset(_qv_nlohmann_src)
unset(_qv_nlohmann_include)
