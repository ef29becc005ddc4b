// kvxrender: a picture written as a PNG file with libpng.
#pragma once

#include "meshcore/okvx.h"
#include "meshview/raster.h"

enum class PngResult { ok, write_failed, no_memory };

// Writes `image` as an 8-bit RGB PNG file, without interlacing and without a
// time stamp, so the same picture always gives the same bytes. The file is
// written through OutputFile: it appears complete or not at all.
// write_failed: the file could not be written (`status` says why);
// no_memory: libpng could not get the memory it needs.
PngResult WritePng(const Image& image, const char* path, KvxStatus* status);
