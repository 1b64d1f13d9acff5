#include "ui/JpegImage.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace evenor {

namespace {

// libjpeg's default error handler ends the process; this one jumps back to
// the decoder instead.
struct JpegErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

void JpegErrorExit(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegErrorManager*>(info->err)->jump, 1); }

void JpegOutputMessage(j_common_ptr) {}

// The libjpeg part, free of objects with destructors so that longjmp may
// leave it. Fills image (already allocated by the caller after the header is
// read) row by row. Returns false on any decoding error.
bool DecodeInto(jpeg_decompress_struct& info, JpegErrorManager& error, const unsigned char* data, std::size_t size,
                QImage* image)
{
    if (setjmp(error.jump) != 0) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    if (info.output_components != 3 || info.output_width == 0 || info.output_height == 0 || info.output_width > 16384 ||
        info.output_height > 16384) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    *image = QImage(static_cast<int>(info.output_width), static_cast<int>(info.output_height), QImage::Format_RGB888);
    if (image->isNull()) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = image->scanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

}  // namespace

QImage DecodeJpeg(const unsigned char* data, std::size_t size)
{
    if (data == nullptr || size == 0) return {};
    jpeg_decompress_struct info{};
    JpegErrorManager error{};
    info.err = jpeg_std_error(&error.base);
    error.base.error_exit = JpegErrorExit;
    error.base.output_message = JpegOutputMessage;
    QImage image;
    if (!DecodeInto(info, error, data, size, &image)) return {};
    return image;
}

}  // namespace evenor
