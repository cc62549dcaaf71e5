// libjpeg reports fatal errors through a callback that must not return; it jumps back here.
#include "app/splash/jpeg_image.h"

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace brimwell::app {
namespace {

struct ErrorExit {
    jpeg_error_mgr mgr{};
    std::jmp_buf back{};
    char message[JMSG_LENGTH_MAX]{};
};

[[noreturn]] void onError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorExit*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->back, 1);
}

// Kept free of objects with destructors: a longjmp out of libjpeg skips them.
bool decodeInto(const QByteArray& data, QImage& image, ErrorExit& err) {
    jpeg_decompress_struct cinfo{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = onError;
    if (setjmp(err.back) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(data.constData()),
                 static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB; // grey and YCbCr pictures alike come out as RGB triples
    jpeg_start_decompress(&cinfo);
    image = QImage(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height),
                   QImage::Format_RGB888);
    if (image.isNull()) {
        std::snprintf(err.message, sizeof err.message, "picture too large");
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = image.scanLine(static_cast<int>(cinfo.output_scanline));
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

} // namespace

QImage decodeJpeg(const QByteArray& data, QString* error) {
    QImage image;
    ErrorExit err;
    if (data.isEmpty()) {
        if (error) *error = QStringLiteral("no data");
        return {};
    }
    if (!decodeInto(data, image, err)) {
        if (error) *error = QString::fromLocal8Bit(err.message);
        return {};
    }
    return image;
}

} // namespace brimwell::app
