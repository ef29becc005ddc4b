// kvximport's command line and its run, which kvxopt shares: the options
// of an import (meshimport's ImportRequest) read the GNU way, the run
// through the guard, the warnings and a split's or the levels' line on
// standard error, the figures of --stats on standard output.
#pragma once

#include "command_line.h"

// Runs the program `info` describes on argv. `optimizer` makes it kvxopt:
// a KVX input is read as it is and keeps its version, and --optimize is on
// unless --no-optimize turns it off. Returns the exit status.
int RunImportCommand(int argc, char** argv, const ProgramInfo& info, bool optimizer);

// The help both programs print for the options they share, spliced into
// their help texts.
#define KVX_SIMPLIFY_OPTIONS_HELP                                                  \
    "  --simplify RATIO      keep about RATIO of the triangles (above 0, at\n"     \
    "                        most 1); the borders of an open mesh stay in place\n" \
    "  --error E             the largest error the simplifier may reach, a\n"      \
    "                        share of the mesh's extent (default 0.01 with\n"      \
    "                        --simplify; no bound for --fit and --lods alone)\n"   \
    "  --sloppy              where the simplifier that keeps the topology\n"       \
    "                        stops short of the target, let one that merges\n"     \
    "                        nearby vertices regardless go further\n"
#define KVX_LODS_OPTION_HELP                                                   \
    "  --lods N              write N + 1 levels of detail (N from 1 to 16),\n" \
    "                        <stem>-lod0.kvx (the mesh) to <stem>-lodN.kvx,\n" \
    "                        each with about half the triangles of the one\n"  \
    "                        before\n"
#define KVX_STATS_OPTION_HELP                                                   \
    "  --stats               print on standard output, before and after, the\n" \
    "                        counts and the figures explained below\n"
#define KVX_STATS_FIGURES_HELP                                                    \
    "The figures of --stats (1 is the best value of each but ACMR):\n"            \
    "  ACMR       vertices transformed per triangle with a 16-entry vertex\n"     \
    "             cache (0.5 at best, 3 at worst)\n"                              \
    "  ATVR       vertices transformed per vertex of the mesh\n"                  \
    "  overdraw   pixels shaded per pixel covered, seen from outside the mesh\n"  \
    "  overfetch  bytes of vertex records fetched per byte stored\n"              \
    "  error      how far the simplified surface may lie from the original, as\n" \
    "             a share of the mesh's extent\n"
