#include "framework/screenshot.hpp"

#include <GL/gl.h>
#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool endsWith(const char* text, const char* tail) {
    size_t n = std::strlen(text), m = std::strlen(tail);
    return n >= m && std::strcmp(text + n - m, tail) == 0;
}

bool writePng(FILE* f, int width, int height, const std::vector<unsigned char>& rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        png_write_row(png, rows.data() + static_cast<size_t>(y) * static_cast<size_t>(width) * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool saveScreenshot(const char* file, int width, int height, std::string& out_error) {
    if (!file || width <= 0 || height <= 0) {
        out_error = "screenshot: nothing to save";
        return false;
    }
    size_t stride = static_cast<size_t>(width) * 3;
    std::vector<unsigned char> pixels(stride * static_cast<size_t>(height));
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
    // GL's rows run bottom to top; image files top to bottom.
    std::vector<unsigned char> rows(pixels.size());
    for (int y = 0; y < height; ++y)
        std::memcpy(rows.data() + static_cast<size_t>(y) * stride,
                    pixels.data() + static_cast<size_t>(height - 1 - y) * stride, stride);

    FILE* f = std::fopen(file, "wb");
    if (!f) {
        out_error = std::string("screenshot: cannot write ") + file + ": " + std::strerror(errno);
        return false;
    }
    bool ok;
    if (endsWith(file, ".png")) {
        ok = writePng(f, width, height, rows);
    } else {
        ok = std::fprintf(f, "P6\n%d %d\n255\n", width, height) > 0 &&
             std::fwrite(rows.data(), 1, rows.size(), f) == rows.size();
    }
    ok = std::fclose(f) == 0 && ok;
    if (!ok)
        out_error = std::string("screenshot: cannot write ") + file;
    return ok;
}
