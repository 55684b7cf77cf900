# What `cmake --install` puts where (under CMAKE_INSTALL_PREFIX, and DESTDIR
# when set), and the Debian package `cpack -G DEB` makes of the same files.
include(GNUInstallDirs)

install(TARGETS kiv RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/doc/kiv.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Each shell's place for completions that come with a package.
install(FILES ${PROJECT_SOURCE_DIR}/completions/kiv.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kiv)
# zsh looks in vendor-completions under /usr (Debian's zsh) and in
# site-functions under any other prefix. The prefix is known only when
# installing (`--prefix`, or cpack's /usr), so the choice is made then.
install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(kiv_zsh_dir vendor-completions)
    else()
        set(kiv_zsh_dir site-functions)
    endif()
    file(INSTALL \"${PROJECT_SOURCE_DIR}/completions/_kiv\"
         DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/zsh/\${kiv_zsh_dir}\")
")
install(FILES ${PROJECT_SOURCE_DIR}/completions/kiv.fish
        DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)

set(CPACK_PACKAGE_NAME kiv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keep terminal sessions alive, detach and attach again")
set(CPACK_PACKAGE_DESCRIPTION
    "A session is one command on its own pseudo-terminal under a small daemon that keeps a model of the screen: detach with one key, attach again from any terminal to a repainted screen.")
set(CPACK_PACKAGE_CONTACT "kiv developers <kiv@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
find_program(KIV_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KIV_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # the libraries the binary links, as versions
else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libsodium23")
endif()
include(CPack)
