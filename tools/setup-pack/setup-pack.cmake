# What every build of setup-pack's library needs, for the tool's build and the fuzz build alike:
# its version, where it finds its stub when none is named, and the Debian libraries it uses
# (inih reads manifests, libcrypto's PKCS#7 parser reads signatures).
set(SETUP_PACK_VERSION 1.0.0)
set(STUB_NAME setup-stub.exe)
set(STUB_SHARE share/setup-pack)
find_package(PkgConfig REQUIRED)
pkg_check_modules(INIH REQUIRED IMPORTED_TARGET inih)
pkg_check_modules(LIBCRYPTO REQUIRED IMPORTED_TARGET libcrypto)

function(use_setup_pack_needs target)
    target_compile_definitions(${target} PRIVATE SETUP_PACK_VERSION="${SETUP_PACK_VERSION}"
        SETUP_PACK_STUB_NAME="${STUB_NAME}" SETUP_PACK_STUB_SHARE="${STUB_SHARE}")
    target_link_libraries(${target} PUBLIC PkgConfig::INIH PkgConfig::LIBCRYPTO)
endfunction()
