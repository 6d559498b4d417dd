# Cross build for 32-bit ARM hard-float with Debian's cross compiler and the
# armhf multiarch packages; tests run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The armhf multiarch C library (pulled in by the armhf packages) serves as the
# emulator's run-time root: with the cross sysroot as prefix (-L), fork()
# crashes under qemu-arm.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# GNUInstallDirs leaves out the multiarch directory when cross compiling.
set(CMAKE_INSTALL_LIBDIR lib/arm-linux-gnueabihf CACHE PATH "Object code libraries")
# pkg-config (which FindOpenSSL asks first) must see the armhf packages only.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
