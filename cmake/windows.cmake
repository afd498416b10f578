# Windows build settings (included by the root CMakeLists.txt when WIN32).

# pairex.exe and the test programs must run on a bare Windows: link the GCC
# and C++ runtimes and winpthread statically, so that they import system
# DLLs only.
add_link_options(-static -static-libgcc -static-libstdc++)

# GetProcessMemoryInfo from PSAPI.DLL, which every Windows version has,
# rather than its KERNEL32 alias of Windows 7 and later.
add_compile_definitions(PSAPI_VERSION=1)
