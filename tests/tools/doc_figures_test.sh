#!/bin/sh
# The figures the documents state agree with what this build measures (scripts/doc-figures).
#   doc_figures_test.sh SOURCE_DIR BUILD_DIR
exec sh "$1/scripts/doc-figures" "$2"
