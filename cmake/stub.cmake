# The stub: a PE32 GUI program without a C runtime. Included by the top-level
# CMakeLists.txt when it runs as the MinGW cross build.
enable_language(RC)
file(GLOB SHELL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/shell/*.cpp)
file(GLOB RESOURCE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/resources/*.rc)

set(CMAKE_BUILD_TYPE MinSizeRel)
# Size first: -Oz, and link-time optimisation across the whole program (it
# inlines the many single-use helpers and drops unused arguments and
# stores). With it the map shows one .text; per-function sizes come from
# `nm -n` of a link without -s. -malign-data=abi keeps GCC from padding
# every array of 32 bytes or more (the texts) to a 32-byte boundary.
set(STUB_COMPILE_OPTIONS
  -Wall -Wextra $<$<BOOL:${JOV_WERROR}>:-Werror> -Oz -std=c++20
  -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
  -ffunction-sections -fdata-sections -fno-stack-protector -fno-threadsafe-statics
  -fno-tree-loop-distribute-patterns -fomit-frame-pointer -flto -malign-data=abi)
set(STUB_DEFINITIONS JOV_STUB=1 WIN32_LEAN_AND_MEAN NOMINMAX)

# The core with the Win32 layer, as the stub compiles it.
add_library(stubcore OBJECT ${CORE_SOURCES} src/platform/win32.cpp)
target_include_directories(stubcore PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(stubcore PUBLIC ${STUB_DEFINITIONS})
target_compile_options(stubcore PUBLIC ${STUB_COMPILE_OPTIONS})

add_executable(stub WIN32 $<TARGET_OBJECTS:stubcore> ${SHELL_SOURCES} ${RESOURCE_SOURCES})
target_include_directories(stub PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_compile_definitions(stub PRIVATE ${STUB_DEFINITIONS})
target_compile_options(stub PRIVATE ${STUB_COMPILE_OPTIONS})
target_link_options(stub PRIVATE
  -nostdlib -nostartfiles -flto -Oz -Wl,--gc-sections -s -Wl,-e,_stubEntry
  -Wl,--no-insert-timestamp -Wl,-Map,${CMAKE_BINARY_DIR}/stub.map
  -Wl,--file-alignment,512 -Wl,--section-alignment,4096 -Wl,--disable-reloc-section
  -Wl,-T,${CMAKE_SOURCE_DIR}/cmake/stub.ld)
set_property(TARGET stub APPEND PROPERTY LINK_DEPENDS ${CMAKE_SOURCE_DIR}/cmake/stub.ld)
# MinGW's GCC puts zero-initialised objects into .data$ sections when data
# sections are on, which would store the whole InstallState (mostly CRC
# tables) as zeros in the file; without them it goes to .bss.
# The shell's and the Win32 layer's few globals (all used) likewise, so that the stub needs no
# .data section at all.
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/install_state.cpp ${CMAKE_SOURCE_DIR}/src/platform/win32.cpp
  ${SHELL_SOURCES}
  PROPERTIES COMPILE_OPTIONS -fno-data-sections)
target_link_libraries(stub PRIVATE kernel32 user32 advapi32 comdlg32 shell32 ole32 gcc)

# The sample program that examples/ packs with the stub.
if(EXISTS ${CMAKE_SOURCE_DIR}/examples/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/examples ${CMAKE_BINARY_DIR}/examples)
endif()
