# Sourced by the scripts that compile (with $root set to the repository):
# their CMake builds go through ccache where it is installed, so a
# translation unit compiled before with the same flags and headers is
# taken from the cache. Within one test command that is the package
# check's build of the sdist, which unpacks under build/ and so compiles
# the same sources, to the same relative paths, as the installed build;
# from one command to the next it is every build. The launcher is passed to
# each command rather than exported, so builds in other roots (another
# interpreter's, a chroot's) are left as they are.
#
#   "${compiler_cache[@]}" cmake -S . -B build/x ...
compiler_cache=()
if command -v ccache >/dev/null 2>&1; then
  compiler_cache=(env CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$root")
fi
