# Compiler cache and linker for every build of this repository (tests, package, sanitizers, fuzzers,
# benchmarks): ccache, when installed, keyed on paths relative to the checkout so that a second
# clone (CI's, or a worktree) reuses the objects the first one compiled; lld, when installed, links
# the test binaries in a fraction of the default linker's time.
find_program(BADGE_CCACHE ccache)
if(BADGE_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  get_filename_component(_badge_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
  set(CMAKE_CXX_COMPILER_LAUNCHER
    ${CMAKE_COMMAND} -E env CCACHE_BASEDIR=${_badge_root} CCACHE_NOHASHDIR=1
    CCACHE_SLOPPINESS=include_file_mtime,include_file_ctime,time_macros ${BADGE_CCACHE})
endif()
find_program(BADGE_LLD ld.lld)
if(BADGE_LLD)
  add_link_options(-fuse-ld=lld)
endif()
