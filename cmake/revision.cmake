# Run at every build (not only at configuration): writes OUT with the project's version and the
# source revision, touching it only when the text changes, so that a new commit shows in
# --version without rebuilding anything else. A tree without git history says "unknown".
execute_process(COMMAND git -c safe.directory=* -C "${SRC}" describe --always --dirty --abbrev=12
                OUTPUT_VARIABLE revision ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT revision)
  set(revision unknown)
endif()
file(WRITE "${OUT}.tmp"
     "#include \"boot/version.h\"\n"
     "const char BOOTMGR_VERSION[] = \"${VERSION}\";\n"
     "const char BOOTMGR_REVISION[] = \"${revision}\";\n")
file(COPY_FILE "${OUT}.tmp" "${OUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT}.tmp")
