// kvxrender: a picture written as a PNG file with libpng.
#pragma once

#include "meshcore/okvx.h"
#include "meshview/raster.h"

// Writes `image` as an 8-bit RGB PNG file, without interlacing and without a
// time stamp, so the same picture always gives the same bytes. The file is
// written through OutputFile: it appears complete or not at all.
// False when it could not: write_failed or open_failed (with errno) when
// the file could not be written, out_of_memory when libpng could not get
// the memory it needs.
bool WritePng(const Image& image, const char* path, KvxStatus* status);
