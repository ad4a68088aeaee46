# The 32-bit host: i386 Linux on an x86-64 machine (g++-multilib, the i386
# libraries through Debian's multiarch). Pointers are 32 bits and the
# platform routines carry NT's calling conventions, so the host can load and
# call the NT image of the driver.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(TOLVANEX_IMAGE_HOST ON CACHE BOOL "32-bit host that loads the NT image" FORCE)

# liblua5.4-dev:i386 supplies luaconf.h's multiarch header. Where only the
# run-time library liblua5.4-0:i386 could be installed (a mirror without
# the matching i386 libc6-dev), the headers of the native package serve,
# and this header is written here.
if(NOT EXISTS /usr/include/i386-linux-gnu/lua5.4-deb-multiarch.h)
  set(TOLVANEX_LUA_MULTIARCH_DIR ${CMAKE_BINARY_DIR}/lua-multiarch)
  file(WRITE ${TOLVANEX_LUA_MULTIARCH_DIR}/lua5.4-deb-multiarch.h
       "#ifndef _LUA_DEB_MULTIARCH_\n#define _LUA_DEB_MULTIARCH_\n#define DEB_HOST_MULTIARCH \"i386-linux-gnu\"\n#endif\n")
  set(CMAKE_CXX_FLAGS_INIT "${CMAKE_CXX_FLAGS_INIT} -idirafter ${TOLVANEX_LUA_MULTIARCH_DIR}")
endif()
