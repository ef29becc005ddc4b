// kvxopt: a KVX file, or any mesh kvximport reads, made ready for the GPU
// (meshoptimizer's vertex cache, overdraw and vertex fetch orders), and
// simplified, fitted or given levels of detail where asked. This file holds
// its help; the command line and the run are kvximport's
// (import_command.h), the work meshimport's (RunImport, optimize.h).
#include "import_command.h"
#include "programs.h"

const ProgramInfo kKvxoptInfo = {
    "kvxopt", "usage: kvxopt [options] <input> <output.kvx>",
    R"(Writes a mesh as a KVX file ordered for the GPU: the triangles in the
order a 16-entry vertex cache and the depth test like best, the vertices
in the order the triangles first name them. It stays the same mesh: the
same vertex records and the same triangles, each with its corners in its
order. A wireframe gets the vertex order of its lines, a point set a
spatial order. A KVX input (.kvx, or --format kvx) keeps its version;
any other input is read as kvximport reads it, with its options (--layout,
--format, --weld, --normals, --colour-order, --name, --reader-*).
Prints nothing on success (with --split or --lods: one line on standard
error; with --stats, the figures on standard output).

  --no-optimize         keep the order (for --simplify, --fit or --lods
                        alone); --optimize, the default, orders
)" KVX_SIMPLIFY_OPTIONS_HELP
    R"(  --fit                 simplify a mesh of more than 65536 vertices just
                        enough to fit one file (--split divides it)
)" KVX_LODS_OPTION_HELP KVX_STATS_OPTION_HELP R"(  --version             the program's version

After a simplification, vertices that no triangle uses go, and versions
3 and 4 get their smooth normals again, as kvxconv3 computes them.

)" KVX_STATS_FIGURES_HELP R"(
Example:
  kvxopt mesh.kvx mesh-gpu.kvx
  kvxopt --simplify 0.25 --stats scan.ply scan.kvx
  kvxopt --lods 3 chair.glb chair.kvx
)"};

int RunKvxopt(int argc, char** argv) {
    return RunImportCommand(argc, argv, kKvxoptInfo, true);
}
