// Small pictures made by the tests themselves, written with the real libraries
// (PNG, JPEG) or by tiny writers of our own (BMP, GIF), so every expected
// pixel is known exactly.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

using bytes = std::vector<uint8_t>;

// A fresh folder under /tmp, removed with everything in it when destroyed.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    std::string file(const std::string& name) const {
        return path + "/" + name;
    }
};

void write_file(const std::string& path, const bytes& data);
void write_file(const std::string& path, const std::string& data);
std::string read_file(const std::string& path);
// Reads a descriptor until end of file (or, non-blocking, until it is empty).
std::string read_all(int fd);

// `pixels` holds rows of packed samples as libpng takes them for
// `color_type` and `bit_depth` (16-bit samples big-endian).
void write_png(const std::string& path, int width, int height, int color_type, int bit_depth,
               const bytes& pixels, const bytes& palette_rgb = {});

// `components` 1 (grey), 3 (RGB) or 4 (C,M,Y,K as stored, which libjpeg
// marks as Adobe's; stored as YCCK when `ycck`).
void write_jpeg(const std::string& path, int width, int height, int components, const bytes& pixels,
                bool progressive = false, int quality = 95, bool ycck = false);

// bpp 1, 4, 8 (pixels are palette indexes) or 24, 32 (pixels are R,G,B[,A]).
void write_bmp(const std::string& path, int width, int height, int bpp, const bytes& pixels,
               const bytes& palette_rgb = {}, bool top_down = false);

struct gif_frame_spec {
    int left = 0, top = 0, width = 0, height = 0;
    bytes indexes;         // width x height palette indexes
    int delay = 0;         // hundredths of a second
    int disposal = 0;      // 0..3
    int transparent = -1;  // index, or -1 for none
};

// A GIF89a with a global palette (up to 256 R,G,B entries) and the given
// frames; loop_count < 0 writes no loop extension.
bytes make_gif(int width, int height, const bytes& palette_rgb,
               const std::vector<gif_frame_spec>& frames, int loop_count = 0);

// Captures what the program logs (standard error) while it lives.
class stderr_capture {
   public:
    stderr_capture();
    ~stderr_capture();
    // Everything written so far; capturing goes on.
    std::string text();

   private:
    int saved_fd_ = -1;
    std::string path_;
};
