#include "support/fixtures.h"

#include <png.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

// jpeglib.h needs FILE and size_t declared before it.
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

temp_dir::temp_dir() {
    char pattern[] = "/tmp/vorpix-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void write_file(const std::string& path, const bytes& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary);
    out << data;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string read_all(int fd) {
    std::string data;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(n));
    return data;
}

void write_png(const std::string& path, int width, int height, int color_type, int bit_depth,
               const bytes& pixels, const bytes& palette_rgb) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) throw std::runtime_error("cannot write " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) throw std::runtime_error("libpng failed writing " + path);
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, bit_depth, color_type, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette;
    for (size_t i = 0; i + 2 < palette_rgb.size(); i += 3) {
        palette.push_back({palette_rgb[i], palette_rgb[i + 1], palette_rgb[i + 2]});
    }
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    png_write_info(png, info);
    size_t row_bytes = png_get_rowbytes(png, info);
    for (int y = 0; y < height; y++) {
        png_write_row(png, pixels.data() + static_cast<size_t>(y) * row_bytes);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    fclose(file);
}

void write_jpeg(const std::string& path, int width, int height, int components, const bytes& pixels,
                bool progressive, int quality, bool ycck) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) throw std::runtime_error("cannot write " + path);
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    if (ycck) jpeg_set_colorspace(&cinfo, JCS_YCCK);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(
            pixels.data() + static_cast<size_t>(cinfo.next_scanline) * width * components);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    fclose(file);
}

namespace {

void put16(bytes* out, unsigned value) {
    out->push_back(static_cast<uint8_t>(value & 0xFF));
    out->push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
}

void put32(bytes* out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

}  // namespace

void write_bmp(const std::string& path, int width, int height, int bpp, const bytes& pixels,
               const bytes& palette_rgb, bool top_down) {
    int colours = bpp <= 8 ? static_cast<int>(palette_rgb.size() / 3) : 0;
    size_t row_bytes = ((static_cast<size_t>(width) * bpp + 31) / 32) * 4;
    uint32_t offset = 14 + 40 + static_cast<uint32_t>(colours) * 4;
    bytes out;
    out.push_back('B');
    out.push_back('M');
    put32(&out, offset + static_cast<uint32_t>(row_bytes * height));
    put32(&out, 0);
    put32(&out, offset);
    put32(&out, 40);
    put32(&out, static_cast<uint32_t>(width));
    put32(&out, static_cast<uint32_t>(top_down ? -height : height));
    put16(&out, 1);
    put16(&out, static_cast<unsigned>(bpp));
    put32(&out, 0);  // BI_RGB
    put32(&out, static_cast<uint32_t>(row_bytes * height));
    put32(&out, 2835);
    put32(&out, 2835);
    put32(&out, static_cast<uint32_t>(colours));
    put32(&out, 0);
    for (int i = 0; i < colours; i++) {
        out.push_back(palette_rgb[i * 3 + 2]);
        out.push_back(palette_rgb[i * 3 + 1]);
        out.push_back(palette_rgb[i * 3]);
        out.push_back(0);
    }
    int channels = bpp == 32 ? 4 : 3;
    for (int r = 0; r < height; r++) {
        int y = top_down ? r : height - 1 - r;
        bytes row(row_bytes, 0);
        for (int x = 0; x < width; x++) {
            size_t k = static_cast<size_t>(y) * width + x;
            if (bpp <= 8) {
                int per_byte = 8 / bpp;
                int shift = 8 - bpp * (x % per_byte + 1);
                row[x / per_byte] |= static_cast<uint8_t>(pixels[k] << shift);
            } else {
                const uint8_t* p = &pixels[k * channels];
                uint8_t* q = &row[static_cast<size_t>(x) * (bpp / 8)];
                q[0] = p[2];
                q[1] = p[1];
                q[2] = p[0];
                if (bpp == 32) q[3] = p[3];
            }
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    write_file(path, out);
}

namespace {

// LZW data without compression: every pixel is sent as a literal code, with a
// clear code before the table would grow past the starting code width.
bytes lzw_literal(const bytes& indexes, int min_code_size) {
    bytes packed;
    uint32_t bits = 0;
    int count = 0;
    int width = min_code_size + 1;
    auto emit = [&](unsigned code) {
        bits |= code << count;
        count += width;
        while (count >= 8) {
            packed.push_back(static_cast<uint8_t>(bits & 0xFF));
            bits >>= 8;
            count -= 8;
        }
    };
    unsigned clear = 1u << min_code_size;
    int run = 0;
    int limit = (1 << min_code_size) - 2;
    emit(clear);
    for (uint8_t index : indexes) {
        if (run == limit) {
            emit(clear);
            run = 0;
        }
        emit(index);
        run++;
    }
    emit(clear + 1);
    if (count > 0) packed.push_back(static_cast<uint8_t>(bits & 0xFF));
    return packed;
}

}  // namespace

bytes make_gif(int width, int height, const bytes& palette_rgb,
               const std::vector<gif_frame_spec>& frames, int loop_count) {
    int entries = static_cast<int>(palette_rgb.size() / 3);
    int size_bits = 1;
    while ((1 << size_bits) < entries) size_bits++;
    bytes out = {'G', 'I', 'F', '8', '9', 'a'};
    put16(&out, static_cast<unsigned>(width));
    put16(&out, static_cast<unsigned>(height));
    out.push_back(static_cast<uint8_t>(0x80 | 0x70 | (size_bits - 1)));
    out.push_back(0);
    out.push_back(0);
    for (int i = 0; i < (1 << size_bits); i++) {
        for (int c = 0; c < 3; c++) {
            out.push_back(i < entries ? palette_rgb[i * 3 + c] : 0);
        }
    }
    if (loop_count >= 0) {
        const char* app = "NETSCAPE2.0";
        out.insert(out.end(), {0x21, 0xFF, 0x0B});
        out.insert(out.end(), app, app + 11);
        out.insert(out.end(), {0x03, 0x01});
        put16(&out, static_cast<unsigned>(loop_count));
        out.push_back(0);
    }
    int min_code_size = size_bits < 2 ? 2 : size_bits;
    for (const auto& f : frames) {
        out.insert(out.end(), {0x21, 0xF9, 0x04});
        out.push_back(static_cast<uint8_t>((f.disposal << 2) | (f.transparent >= 0 ? 1 : 0)));
        put16(&out, static_cast<unsigned>(f.delay));
        out.push_back(static_cast<uint8_t>(f.transparent >= 0 ? f.transparent : 0));
        out.push_back(0);
        out.push_back(0x2C);
        put16(&out, static_cast<unsigned>(f.left));
        put16(&out, static_cast<unsigned>(f.top));
        put16(&out, static_cast<unsigned>(f.width));
        put16(&out, static_cast<unsigned>(f.height));
        out.push_back(0);
        out.push_back(static_cast<uint8_t>(min_code_size));
        bytes data = lzw_literal(f.indexes, min_code_size);
        for (size_t i = 0; i < data.size(); i += 255) {
            size_t n = std::min<size_t>(255, data.size() - i);
            out.push_back(static_cast<uint8_t>(n));
            out.insert(out.end(), data.begin() + static_cast<long>(i),
                       data.begin() + static_cast<long>(i + n));
        }
        out.push_back(0);
    }
    out.push_back(0x3B);
    return out;
}

stderr_capture::stderr_capture() {
    char pattern[] = "/tmp/vorpix-stderr-XXXXXX";
    int fd = mkstemp(pattern);
    path_ = pattern;
    fflush(stderr);
    saved_fd_ = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

stderr_capture::~stderr_capture() {
    fflush(stderr);
    dup2(saved_fd_, STDERR_FILENO);
    close(saved_fd_);
    unlink(path_.c_str());
}

std::string stderr_capture::text() {
    fflush(stderr);
    return read_file(path_);
}
