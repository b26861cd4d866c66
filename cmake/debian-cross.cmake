# What the cross toolchain files share: Debian's cross compiler for the triplet they
# set, the tests under qemu-user, and the target's libraries, headers and packages
# (the cross C library's, and the multiarch ones such as libgtest-dev:ARCH); programs
# are the build machine's. Everything run under qemu is linked statically, so it needs
# no -L (see tests/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu})

set(CMAKE_FIND_ROOT_PATH /usr/${triplet} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
