# The servers the launcher talks to are deployment values, fixed when it is
# built. They become one generated header that only the entry points include.
set(ORV_PATCH_HOST "patch.orv.example" CACHE STRING "patch server host")
set(ORV_PATCH_PORT 8081 CACHE STRING "patch server port")
set(ORV_INFO_HOST "info.orv.example" CACHE STRING "information site host")
set(ORV_INFO_PORT 80 CACHE STRING "information site port")
set(ORV_PORTAL_HOST "games.kivora.example" CACHE STRING "publisher portal host")
set(ORV_PORTAL_PORT 443 CACHE STRING "publisher portal port")
set(ORV_MEMBER_HOST "member.kivora.example" CACHE STRING "member site host")
set(ORV_MEMBER_PORT 443 CACHE STRING "member site port")
set(ORV_EXTRA_CA_FILE "" CACHE FILEPATH "PEM file trusted besides the system's (demo and tests only)")
option(ORV_PATCH_HTTPS "ask the patch server and the information site over HTTPS" OFF)
if(ORV_PATCH_HTTPS)
  set(ORV_PATCH_HTTPS_VALUE true)
else()
  set(ORV_PATCH_HTTPS_VALUE false)
endif()
set(ORV_UPDATE_KEY "" CACHE FILEPATH
    "the publisher's public key (PEM); when set, every step must carry a manifest signed with it")

# The key goes into the program as text: a build with a key is a build for
# that publisher, and nothing on the player's machine can swap it.
set(ORV_UPDATE_KEY_TEXT "")
if(ORV_UPDATE_KEY)
  if(NOT EXISTS "${ORV_UPDATE_KEY}")
    message(FATAL_ERROR "ORV_UPDATE_KEY names ${ORV_UPDATE_KEY}, which does not exist")
  endif()
  file(READ "${ORV_UPDATE_KEY}" ORV_UPDATE_KEY_TEXT)
  if(NOT ORV_UPDATE_KEY_TEXT MATCHES "-----BEGIN PUBLIC KEY-----")
    message(FATAL_ERROR "ORV_UPDATE_KEY must be a public key in PEM (-----BEGIN PUBLIC KEY-----)")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ORV_UPDATE_KEY}")
endif()

configure_file(${CMAKE_CURRENT_LIST_DIR}/BuildDeployment.h.in
               ${PROJECT_BINARY_DIR}/generated/BuildDeployment.h @ONLY)
