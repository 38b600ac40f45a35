# The Debian packages of the Linux side, one per CMake install component,
# written by `cpack -G DEB` in a build tree (scripts/deb.sh does it all).
#
# A room declares its package after its install(... COMPONENT <c>) rules:
#
#   tim_deb_package(COMPONENT <c> NAME <package> SUMMARY <one line>
#                   DESCRIPTION <text> [DEPENDS <deps>] [RECOMMENDS <deps>])
#
# DESCRIPTION is plain text, lines of at most 79 characters (Debian's limit for
# the extended description), paragraphs separated by an empty line. DEPENDS is
# added to what dpkg-shlibdeps finds in the package's programs and libraries.
# Every package gets /usr/share/doc/<package>/copyright (from LICENSE) and
# changelog.gz (from packaging/debian/changelog). CPack itself is included
# once, at the end of the top directory, when every room has declared its own.
include_guard(GLOBAL)
include(GNUInstallDirs)

set(TIM_DEB_DIR ${CMAKE_CURRENT_LIST_DIR})
# Compressed files in packages (changelog, manual pages) are made with
# `gzip -9n`: no name or time stamp in the header.
find_program(TIM_GZIP gzip REQUIRED)

# What a package needs from tim-thumbnailer, which carries the image/x-tim
# MIME type every plug-in is found by.
set(TIM_DEB_MIME_PACKAGE "tim-thumbnailer (= ${PROJECT_VERSION})")

function(_tim_deb_shared_files)
    get_property(done GLOBAL PROPERTY TIM_DEB_SHARED_FILES)
    if(done)
        return()
    endif()
    set_property(GLOBAL PROPERTY TIM_DEB_SHARED_FILES ON)

    # The changelog's newest entry must name the version being packaged.
    file(STRINGS ${TIM_DEB_DIR}/changelog first LIMIT_COUNT 1)
    if(NOT first MATCHES "^tim-thumbnailer \\(${PROJECT_VERSION}\\) ")
        message(FATAL_ERROR "packaging/debian/changelog: the newest entry is not version ${PROJECT_VERSION}: ${first}")
    endif()

    # Machine-readable copyright file with the license's own text.
    file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
    string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _ "${license}")
    set(holder "${CMAKE_MATCH_1}")
    # Debian's copyright notice has a year: that of the oldest changelog entry.
    file(STRINGS ${TIM_DEB_DIR}/changelog trailers REGEX "^ -- ")
    list(GET trailers -1 oldest)
    string(REGEX MATCH "[0-9][0-9][0-9][0-9] [0-9][0-9]:" year "${oldest}")
    string(SUBSTRING "${year}" 0 4 year)
    string(REGEX REPLACE "^MIT License\n\n[^\n]*\n\n" "" terms "${license}")
    string(REGEX REPLACE "\n$" "" terms "${terms}")
    string(REGEX REPLACE "\n\n" "\n.\n" terms "${terms}")
    string(REGEX REPLACE "\n" "\n " terms "${terms}")
    file(WRITE ${CMAKE_BINARY_DIR}/deb/copyright
        "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
        "Upstream-Name: tim-thumbnailer\n\n"
        "Files: *\nCopyright: ${year} ${holder}\nLicense: Expat\n ${terms}\n")

    # gzip -n: no name or time stamp in the header, so the bytes follow the text.
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/deb/changelog.gz
        COMMAND ${TIM_GZIP} -9n -c ${TIM_DEB_DIR}/changelog > ${CMAKE_BINARY_DIR}/deb/changelog.gz
        DEPENDS ${TIM_DEB_DIR}/changelog VERBATIM)
    add_custom_target(tim_deb_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/deb/changelog.gz)
endfunction()

function(tim_deb_package)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "COMPONENT;NAME;SUMMARY;DESCRIPTION" "DEPENDS;RECOMMENDS")
    if(NOT arg_COMPONENT OR NOT arg_NAME OR NOT arg_SUMMARY OR NOT arg_DESCRIPTION)
        message(FATAL_ERROR "tim_deb_package: COMPONENT, NAME, SUMMARY and DESCRIPTION are needed")
    endif()
    string(LENGTH "${arg_SUMMARY}" length)
    if(length GREATER 80)
        message(FATAL_ERROR "tim_deb_package(${arg_NAME}): the summary is longer than 80 characters")
    endif()
    string(REPLACE "\n" ";" lines "${arg_DESCRIPTION}")
    foreach(line IN LISTS lines)
        string(LENGTH "${line}" length)
        if(length GREATER 79)
            message(FATAL_ERROR "tim_deb_package(${arg_NAME}): description line over 79 characters: ${line}")
        endif()
    endforeach()
    _tim_deb_shared_files()

    set(docdir ${CMAKE_INSTALL_DATADIR}/doc/${arg_NAME})
    install(FILES ${CMAKE_BINARY_DIR}/deb/copyright ${CMAKE_BINARY_DIR}/deb/changelog.gz
        DESTINATION ${docdir} COMPONENT ${arg_COMPONENT})

    string(TOUPPER "${arg_COMPONENT}" c)
    set_property(GLOBAL APPEND PROPERTY TIM_DEB_COMPONENTS ${arg_COMPONENT})
    set_property(GLOBAL PROPERTY TIM_DEB_${c}_NAME ${arg_NAME})
    # The summary is the first line; CPack indents the rest.
    set_property(GLOBAL PROPERTY TIM_DEB_${c}_DESCRIPTION "${arg_SUMMARY}\n${arg_DESCRIPTION}")
    list(JOIN arg_DEPENDS ", " depends)
    list(JOIN arg_RECOMMENDS ", " recommends)
    set_property(GLOBAL PROPERTY TIM_DEB_${c}_DEPENDS "${depends}")
    set_property(GLOBAL PROPERTY TIM_DEB_${c}_RECOMMENDS "${recommends}")
endfunction()

# Run at the end of the top directory: every declared package into CPack's
# settings, then CPack.
function(_tim_deb_write_cpack_config)
    get_property(components GLOBAL PROPERTY TIM_DEB_COMPONENTS)
    foreach(component IN LISTS components)
        string(TOUPPER "${component}" c)
        foreach(field NAME DESCRIPTION DEPENDS RECOMMENDS)
            get_property(${field} GLOBAL PROPERTY TIM_DEB_${c}_${field})
        endforeach()
        set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${NAME})
        set(CPACK_DEBIAN_${c}_DESCRIPTION "${DESCRIPTION}")
        if(DEPENDS)
            set(CPACK_DEBIAN_${c}_PACKAGE_DEPENDS "${DEPENDS}")
        endif()
        if(RECOMMENDS)
            set(CPACK_DEBIAN_${c}_PACKAGE_RECOMMENDS "${RECOMMENDS}")
        endif()
    endforeach()

    set(CPACK_GENERATOR DEB)
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    # Only the declared packages: nothing installed without a component slips
    # into an extra one.
    set(CPACK_COMPONENTS_ALL ${components})
    set(CPACK_PACKAGE_NAME tim-thumbnailer)
    set(CPACK_PACKAGE_VENDOR "The TIM Thumbnailer Project authors")
    # Debian wants a mail address; the project has none that takes mail, so
    # the address is in the reserved .invalid domain rather than a made-up one.
    set(CPACK_PACKAGE_CONTACT "The TIM Thumbnailer Project authors <maintainers@tim-thumbnailer.invalid>")
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_STRIP_FILES ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # <package>_<version>_amd64.deb
    set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    # Depends: what dpkg-shlibdeps finds, plus each package's own.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    # No maintainer scripts: the caches (MIME database, gdk-pixbuf loaders)
    # are rebuilt by the dpkg triggers of shared-mime-info and gdk-pixbuf for
    # files in their folders, on install and on removal alike.
    include(CPack)
endfunction()

cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _tim_deb_write_cpack_config)
