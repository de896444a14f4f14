# The version of the build machine's nlohmann-json (architecture-independent).
if(EXISTS /usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
  include(/usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
else()
  set(PACKAGE_VERSION "0")
  set(PACKAGE_VERSION_UNSUITABLE TRUE)
endif()
