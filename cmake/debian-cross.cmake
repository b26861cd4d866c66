# What the cross toolchain files share: Debian's cross compiler for the triplet they
# set, the tests under qemu-user, and the target's libraries, headers and packages
# (the cross C library's, and the multiarch ones such as libgtest-dev:ARCH); programs
# are the build machine's.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L /usr/${triplet})

set(CMAKE_FIND_ROOT_PATH /usr/${triplet} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
