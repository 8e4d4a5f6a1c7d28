#!/bin/sh
# Installs what the package needs (Debian packages, as root), installs the
# package, links its `tolvendra` command onto the PATH and runs the example
# analysis into tolvendra-demo/.
set -eu
cd "$(dirname "$0")/.."
sh tools/deps.sh
R CMD INSTALL --preclean --clean . >/tmp/tolvendra-install.log 2>&1 ||
  { cat /tmp/tolvendra-install.log; exit 1; }
# the command line, for pipelines
ln -sf "$(Rscript -e 'cat(system.file("exec", "tolvendra", package = "Tolvendra"))')" \
  /usr/local/bin/tolvendra
Rscript tools/demo.R tolvendra-demo
