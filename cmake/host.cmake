# Host programs: the packer library, the `jov` command, and the cross-built stub.

file(GLOB PACKER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/packer/*.cpp)
if(PACKER_SOURCES)
  add_library(jovpacker STATIC ${PACKER_SOURCES})
  target_link_libraries(jovpacker PUBLIC jovcore)
  find_package(Threads REQUIRED)
  target_link_libraries(jovpacker PUBLIC Threads::Threads)
endif()

file(GLOB CLI_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/cli/*.cpp)
if(CLI_SOURCES)
  add_executable(jov ${CLI_SOURCES})
  target_compile_definitions(jov PRIVATE JOV_VERSION="${PROJECT_VERSION}")
  target_link_libraries(jov PRIVATE jovcore)
  if(TARGET jovpacker)
    target_link_libraries(jov PRIVATE jovpacker)
  endif()
  # Loading and relocating the shared C++ runtime costs `jov` about 0.7 ms a
  # run, a few percent of testing a 14 MB archive: link it in where the
  # toolchain can (the sanitizer builds keep the shared one).
  include(CheckLinkerFlag)
  check_linker_flag(CXX "-static-libstdc++;-static-libgcc" JOV_STATIC_CXX_RUNTIME)
  if(JOV_STATIC_CXX_RUNTIME AND NOT JOV_SANITIZE AND NOT JOV_FUZZ)
    target_link_options(jov PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endif()

if(JOV_BUILD_STUB)
  include(ExternalProject)
  ExternalProject_Add(stub_build
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CMAKE_BINARY_DIR}/stub
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/mingw-i686.cmake -DJOV_STUB_BUILD=ON
      -DJOV_WERROR=${JOV_WERROR}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${CMAKE_BINARY_DIR}/stub/stub.exe)
  set(JOV_STUB_EXE ${CMAKE_BINARY_DIR}/stub/stub.exe)

  # Sealing runs after every stub build (it rewrites the file only when the
  # seal changes) and fails the build when the sealed stub outgrows its
  # budget. Anything that embeds or packs the stub depends on stub_seal.
  # The linker map stays beside it: build/stub/stub.map.
  set(JOV_STUB_MAX_SIZE 20480)
  add_executable(sealstub ${CMAKE_SOURCE_DIR}/src/tools/sealstub.cpp)
  target_link_libraries(sealstub PRIVATE jovcore)
  add_custom_target(stub_seal ALL
    COMMAND sealstub --max-size ${JOV_STUB_MAX_SIZE} ${JOV_STUB_EXE}
    VERBATIM)
  add_dependencies(stub_seal stub_build sealstub)
endif()

# `jov pack` embeds the stub: JOV_STUB_EXE (the sealed stub) becomes a
# generated source of `jov`, regenerated whenever the stub changes.
if(TARGET jov)
  set(EMBEDDED_STUB_CPP ${CMAKE_BINARY_DIR}/generated/embedded_stub.cpp)
  set(embed_depends ${CMAKE_SOURCE_DIR}/cmake/embed_stub.cmake)
  if(JOV_STUB_EXE)
    list(APPEND embed_depends ${JOV_STUB_EXE})
  endif()
  add_custom_command(OUTPUT ${EMBEDDED_STUB_CPP}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${JOV_STUB_EXE} -DOUTPUT=${EMBEDDED_STUB_CPP}
            -P ${CMAKE_SOURCE_DIR}/cmake/embed_stub.cmake
    DEPENDS ${embed_depends}
    COMMENT "Embedding the stub into jov")
  target_sources(jov PRIVATE ${EMBEDDED_STUB_CPP})
  if(TARGET stub_seal)
    add_dependencies(jov stub_seal)  # embed the sealed stub, never the raw link output
  endif()
endif()
