# The Debian package of the Linux side: tim2png with its thumbnailer entry and
# MIME type, as `cmake --install` lays them out under /usr. Written by
# `cpack -G DEB` in a build tree (scripts/deb.sh does it all).
set(CPACK_PACKAGE_NAME tim-thumbnailer)
set(CPACK_PACKAGE_VENDOR "The TIM Thumbnailer Project authors")
set(CPACK_PACKAGE_CONTACT "The TIM Thumbnailer Project authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Thumbnails and PNG conversion of PlayStation TIM images")
set(CPACK_PACKAGE_DESCRIPTION
    "Lets file managers that read freedesktop thumbnailer entries (GNOME Files\n\
and others) show PlayStation TIM texture files as pictures, and converts them to PNG\n\
with tim2png: every pixel format, exact colours and transparency.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # tim-thumbnailer_<version>_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)   # libpng16-16, libc6, libstdc++6, libgcc-s1 as dpkg-shlibdeps finds
# The MIME type is useless without the database; shared-mime-info's own
# trigger rebuilds it when the package's file lands in /usr/share/mime/packages.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS shared-mime-info)
include(CPack)
