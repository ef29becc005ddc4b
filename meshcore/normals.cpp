// Filled in by the normals work.
