# Writes ZIP.sha256 beside a zip as sha256sum and CPack's checksum write it, "<hash>  <name>",
# for a user to compare with what certutil -hashfile or Get-FileHash prints.
#   cmake -DZIP=zip -P write_sha256.cmake
file(SHA256 ${ZIP} hash)
get_filename_component(name ${ZIP} NAME)
file(WRITE ${ZIP}.sha256 "${hash}  ${name}\n")
