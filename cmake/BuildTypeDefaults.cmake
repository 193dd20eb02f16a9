# Loaded by project() (CMAKE_USER_MAKE_RULES_OVERRIDE) before the flags of
# each build type are cached: Release defaults to -O2 rather than CMake's -O3,
# which is no faster here. A CMAKE_CXX_FLAGS_RELEASE given by the user or a
# packager still replaces it.
string(REPLACE "-O3" "-O2" CMAKE_CXX_FLAGS_RELEASE_INIT "${CMAKE_CXX_FLAGS_RELEASE_INIT}")
