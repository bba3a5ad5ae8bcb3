# Writes the source that names this build: the project's version and the commit the
# tree stands at. Run as a script (cmake -P) at every build, so a new commit shows after
# a plain rebuild; the file is rewritten only when its text changes, so an unchanged
# commit recompiles nothing.
#   -DSOURCE_DIR=... -DVERSION=... -DINPUT=template -DOUTPUT=source
#
# The commit is git's abbreviated hash, with "-dirty" when tracked files differ from
# it; "unknown" when git is missing or the sources are not a git tree of their own (a
# source archive unpacked inside some other repository names no commit of that one).
set(DORVEK_VERSION ${VERSION})
set(DORVEK_COMMIT unknown)
find_program(GIT_PROGRAM git)
if(GIT_PROGRAM)
  execute_process(COMMAND ${GIT_PROGRAM} -C ${SOURCE_DIR} rev-parse --show-toplevel
                  OUTPUT_VARIABLE top RESULT_VARIABLE failed ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${SOURCE_DIR}" source_dir)
  if(NOT failed AND top)
    file(REAL_PATH "${top}" top)
  endif()
  if(NOT failed AND top STREQUAL source_dir)
    # --exclude=*: the hash alone, whatever tags there are.
    execute_process(COMMAND ${GIT_PROGRAM} -C ${SOURCE_DIR} describe --always --dirty --abbrev=12 --exclude=*
                    OUTPUT_VARIABLE commit RESULT_VARIABLE failed ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT failed AND commit MATCHES "^[0-9a-f]+(-dirty)?$")
      set(DORVEK_COMMIT ${commit})
    endif()
  endif()
endif()
configure_file(${INPUT} ${OUTPUT} @ONLY)
