# setup-pack's library as every build makes it, the tool's build and the fuzz build alike: its sources, its version,
# where it finds its stub when none is named, and the Debian libraries it uses (inih reads manifests, libcrypto's
# PKCS#7 parser reads signatures, liblzma makes and reads the LZMA block).
set(SETUP_PACK_VERSION 1.0.0)
set(STUB_NAME setup-stub.exe)
set(STUB_SHARE share/setup-pack)
find_package(PkgConfig REQUIRED)
pkg_check_modules(INIH REQUIRED IMPORTED_TARGET inih)
pkg_check_modules(LIBCRYPTO REQUIRED IMPORTED_TARGET libcrypto)
pkg_check_modules(LIBLZMA REQUIRED IMPORTED_TARGET liblzma)

# The tool but its command-line front end; SRC is the tree's root.
function(add_pack_library name)
    set(sources unicode.cpp pe_reader.cpp package_view.cpp execution_level.cpp resource_writer.cpp image_writer.cpp
        sources.cpp manifest.cpp package_merge.cpp inspect.cpp pack.cpp signature.cpp payload.cpp)
    list(TRANSFORM sources PREPEND ${SRC}/tools/setup-pack/)
    add_library(${name} STATIC ${sources} ${SRC}/src/package/resource_name.cpp ${SRC}/src/package/crc32c.cpp)
    target_include_directories(${name} PUBLIC ${SRC}/tools/setup-pack ${SRC}/src ${SRC}/resources)
    target_compile_options(${name} PRIVATE -Wall -Wextra -Werror)
    target_compile_definitions(${name} PRIVATE SETUP_PACK_VERSION="${SETUP_PACK_VERSION}"
        SETUP_PACK_STUB_NAME="${STUB_NAME}" SETUP_PACK_STUB_SHARE="${STUB_SHARE}")
    target_link_libraries(${name} PUBLIC PkgConfig::INIH PkgConfig::LIBCRYPTO PkgConfig::LIBLZMA)
endfunction()
