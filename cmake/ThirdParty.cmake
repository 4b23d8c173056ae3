# The libraries the build uses, by target system:
#
#   userpolicy::tomlplusplus   toml++ (the settings file)
#   CLI11::CLI11               CLI11 (upm's and the counters' command lines)
#   nlohmann_json::nlohmann_json
#   LDAP_LIBRARY, LBER_LIBRARY OpenLDAP's client libraries (not on Windows,
#                              which has wldap32)
#   PkgConfig::KRB5            MIT Kerberos with its GSS-API (not on Windows,
#                              which negotiates through wldap32)
#
# On Linux they are Debian's packages (toml++ as its shared library). A
# cross build for Windows uses the same header-only libraries from the build
# machine's /usr/include (toml++ then compiles into the module), each
# through a directory of its own in the build tree so that no other
# Linux header comes along. A native Windows build (Visual Studio) finds
# them as CMake packages (vcpkg, for example).

if(WIN32 AND CMAKE_CROSSCOMPILING)
  set(USERPOLICY_HOST_INCLUDE_DIR /usr/include CACHE PATH
      "Where the build machine keeps the header-only libraries (toml++, CLI11, nlohmann/json)")
  set(header_dir ${CMAKE_BINARY_DIR}/third_party_include)
  file(MAKE_DIRECTORY ${header_dir})
  foreach(folder toml++ CLI nlohmann)
    if(NOT EXISTS ${USERPOLICY_HOST_INCLUDE_DIR}/${folder})
      message(FATAL_ERROR "${USERPOLICY_HOST_INCLUDE_DIR}/${folder} is missing: install libtomlplusplus-dev, "
                          "libcli11-dev and nlohmann-json3-dev on the build machine")
    endif()
    file(CREATE_LINK ${USERPOLICY_HOST_INCLUDE_DIR}/${folder} ${header_dir}/${folder} SYMBOLIC)
  endforeach()
  add_library(userpolicy_tomlplusplus INTERFACE)
  target_include_directories(userpolicy_tomlplusplus SYSTEM INTERFACE ${header_dir})
  target_compile_definitions(userpolicy_tomlplusplus INTERFACE TOML_HEADER_ONLY=1)
  add_library(userpolicy::tomlplusplus ALIAS userpolicy_tomlplusplus)
  add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
  target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${header_dir})
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
  target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${header_dir})
elseif(WIN32)
  find_package(tomlplusplus CONFIG REQUIRED)
  add_library(userpolicy::tomlplusplus ALIAS tomlplusplus::tomlplusplus)
  find_package(CLI11 CONFIG REQUIRED)
  find_package(nlohmann_json 3 REQUIRED)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(TOMLPP REQUIRED IMPORTED_TARGET tomlplusplus)
  add_library(userpolicy::tomlplusplus ALIAS PkgConfig::TOMLPP)
  find_package(CLI11 CONFIG REQUIRED)
  find_package(nlohmann_json 3 REQUIRED)
  find_library(LDAP_LIBRARY ldap REQUIRED)
  find_library(LBER_LIBRARY lber REQUIRED)
  # Kerberos binds: MIT Kerberos and its GSS-API (the keytab, the private
  # credential cache); the SASL GSSAPI mechanism itself is a plugin of Cyrus
  # SASL that libldap loads at run time (libsasl2-modules-gssapi-mit). On
  # Windows wldap32 negotiates with the service's own credentials.
  pkg_check_modules(KRB5 REQUIRED IMPORTED_TARGET krb5-gssapi krb5)
endif()
