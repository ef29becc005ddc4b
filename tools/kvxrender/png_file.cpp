#include "png_file.h"

#include <png.h>

#include <cerrno>

#include "meshcore/output_file.h"

namespace {

struct PngSink {
    OutputFile* file;
    KvxStatus* status;
    bool writeFailed;
};

void WriteData(png_structp png, png_bytep data, size_t n) {
    auto* sink = static_cast<PngSink*>(png_get_io_ptr(png));
    if (!sink->file->write(data, n, sink->status)) {
        sink->writeFailed = true;
        png_error(png, "write failed");
    }
}

void FlushData(png_structp) {}

// libpng prints its errors and warnings by default; the program reports
// failures itself, in one line.
void Error(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void Warning(png_structp, png_const_charp) {}

// Every libpng error jumps back here, so nothing in this function may need a
// destructor. False after any error.
bool Encode(const Image& image, PngSink* sink) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, Error, Warning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, sink, WriteData, FlushData);
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t rowBytes = size_t{image.width} * 3;
    for (uint32_t y = 0; y < image.height; ++y)
        png_write_row(png, image.pixels.get() + y * rowBytes);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WritePng(const Image& image, const char* path, KvxStatus* status) {
    OutputFile file;
    if (!file.open(path, status)) return false;
    PngSink sink{&file, status, false};
    if (!Encode(image, &sink)) {
        if (!sink.writeFailed && status) *status = KvxStatus{KvxErrc::out_of_memory, ENOMEM};
        return false;
    }
    return file.commit(status);
}
