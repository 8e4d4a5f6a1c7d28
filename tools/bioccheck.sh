#!/bin/sh
# Runs BiocCheck, Bioconductor's checks of a package, on the source
# tarball, offline, and fails on any ERROR or WARNING. Leaves its report
# in bioccheck/Tolvendra.BiocCheck.
#   tools/bioccheck.sh [tarball [log of the R CMD build that made it]]
# Without a tarball, builds one (vignette included) in bioccheck/.
#
# Offline means: the checks that look things up on Bioconductor's and
# CRAN's servers are off (deprecated packages, package names in use,
# mailing list and support site); BiocManager reads a local config.yaml
# that names the installed BiocVersion's release as current, instead of
# Bioconductor's (BIOCONDUCTOR_ONLINE_VERSION_DIAGNOSIS=FALSE would make
# BiocManager::repositories() fail, and BiocCheck 1.34 with it); and the
# check for `pkg:fun` typos takes its package names from the installed
# packages, through a local repository, not from CRAN's and
# Bioconductor's indexes. Only the suggestion of biocViews tries to read
# Bioconductor's site, and goes on without it.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)
out="$root/bioccheck"
rm -rf "$out"
mkdir "$out"

tarball=${1:-}
log=${2:-}
if [ -z "$tarball" ]; then
  (cd "$out" && R CMD build --no-manual "$root" >build.log 2>&1) || {
    cat "$out/build.log"; exit 1; }
  tarball=$(ls "$out"/Tolvendra_*.tar.gz)
  log="$out/build.log"
fi
[ -f "$tarball" ] || { echo "bioccheck: no tarball at '$tarball'"; exit 1; }

Rscript tools/bioccheck.R "$tarball" "$out" "$log"
