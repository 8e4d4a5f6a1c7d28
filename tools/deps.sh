#!/bin/sh
# Installs the Debian packages that building, checking and using the
# package need, skipping those already present. Run as root.
set -eu

# With arguments, installs just those packages.
# libhts-dev is the htslib that the reader builds on (Rhtslib's is the
# fallback); it brings libcurl4-gnutls-dev, whose -lcurl the fuzzer also
# links Rhtslib's libhts.a with (libcurl4-openssl-dev conflicts with it).
# libbigwig-dev is the libBigWig that bigWig tracks are read with (the
# package builds without it, refusing tracks).
# devscripts has checkbashisms, which R CMD check runs on configure.
# knitr, rmarkdown, BiocStyle and pandoc build the vignette; BiocCheck and
# BiocVersion (the Bioconductor release, known offline) run BiocCheck.
packages="r-base-dev r-cran-testthat r-bioc-rhtslib pkg-config
libhts-dev libbigwig-dev libdeflate-dev zlib1g-dev libbz2-dev liblzma-dev
r-bioc-biocparallel r-bioc-genomicranges r-bioc-summarizedexperiment
r-bioc-iranges r-bioc-s4vectors r-bioc-rtracklayer r-cran-batchtools r-cran-snow
r-bioc-rsamtools r-bioc-genomicalignments samtools bedtools mosdepth megadepth
slurm-wlm munge time r-cran-bench r-cran-optparse multiqc qpdf tidy devscripts
valgrind clang libclang-rt-14-dev python3-rangehttpserver r-cran-processx
r-cran-knitr r-cran-rmarkdown r-bioc-biocstyle pandoc r-bioc-bioccheck r-bioc-biocversion"
[ $# -gt 0 ] && packages="$*"

missing=""
for p in $packages; do
  dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
