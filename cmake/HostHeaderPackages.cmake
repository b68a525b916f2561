# A cross build has no Windows packages of the header-only libraries, but the headers Debian
# installs for the host are plain C++. They are copied into the build tree (never the whole of
# /usr/include, which would shadow the target's C library) and offered as packages; GoogleTest
# is built from Debian's sources.
set(vandrelux_host_include ${CMAKE_BINARY_DIR}/host-include)
file(COPY /usr/include/CLI /usr/include/nlohmann DESTINATION ${vandrelux_host_include})

set(vandrelux_host_packages ${CMAKE_BINARY_DIR}/host-packages)
file(WRITE ${vandrelux_host_packages}/CLI11Config.cmake "
if(NOT TARGET CLI11::CLI11)
  add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
  set_target_properties(CLI11::CLI11 PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${vandrelux_host_include})
endif()
")
file(WRITE ${vandrelux_host_packages}/nlohmann_jsonConfig.cmake "
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${vandrelux_host_include})
endif()
")
file(WRITE ${vandrelux_host_packages}/nlohmann_jsonConfigVersion.cmake "
set(PACKAGE_VERSION 3)
set(PACKAGE_VERSION_COMPATIBLE TRUE)
")
set(CLI11_DIR ${vandrelux_host_packages} CACHE PATH "" FORCE)
set(nlohmann_json_DIR ${vandrelux_host_packages} CACHE PATH "" FORCE)

# Boost's headers are too many to copy: a folder of the build tree holds a link to them.
set(vandrelux_host_boost ${CMAKE_BINARY_DIR}/host-boost)
file(MAKE_DIRECTORY ${vandrelux_host_boost})
file(CREATE_LINK /usr/include/boost ${vandrelux_host_boost}/boost SYMBOLIC)
file(WRITE ${vandrelux_host_packages}/BoostConfig.cmake "
if(NOT TARGET Boost::headers)
  add_library(Boost::headers INTERFACE IMPORTED GLOBAL)
  set_target_properties(Boost::headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${vandrelux_host_boost})
endif()
")
file(WRITE ${vandrelux_host_packages}/BoostConfigVersion.cmake "
set(PACKAGE_VERSION 1.74.0)
set(PACKAGE_VERSION_COMPATIBLE TRUE)
")
set(Boost_DIR ${vandrelux_host_packages} CACHE PATH "" FORCE)
