// The draw's frame transforms and the sixel emission on their own.
#include "render/render.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/sixel_decode.h"

namespace {

const program_options NO_OPTIONS = {};

// A one-frame record over a copy of `pixels`, freed at the end of the test.
struct picture {
    image img;
    picture(int width, int height, int channels, const bytes& pixels) {
        image_init(&img);
        img.width = width;
        img.height = height;
        img.channels = channels;
        img.has_alpha = channels == 2 || channels == 4;
        img.frame = allocate_frame(width, height, channels);
        std::copy(pixels.begin(), pixels.end(), img.frame);
    }
    ~picture() {
        image_free_frames(&img);
    }
    // A result replaces the frame, which the transform left alone.
    bool apply(uint8_t* result) {
        if (!result) return false;
        free(img.frame);
        img.frame = result;
        return true;
    }
    uint8_t* fit(int32_t w, int32_t h) {
        return downscale_to_fit(img.frame, &img.width, &img.height, img.channels, w, h);
    }
    // The window as R,G,B; the record takes the window's size.
    uint8_t* window(const term_geometry& term, int left, int top, int width, int height) {
        uint8_t* rgb = window_to_rgb(&term, img.frame, img.width, img.height, img.channels, left,
                                     top, width, height);
        if (rgb) {
            img.width = width;
            img.height = height;
            img.channels = 3;
        }
        return rgb;
    }
    bytes frame(int channels = 0) const {
        size_t n =
            static_cast<size_t>(img.width) * img.height * (channels ? channels : img.channels);
        return bytes(img.frame, img.frame + n);
    }
};

// Each source pixel's value is its column, so an output pixel's value tells
// which columns its box averaged.
bytes column_ramp(int width, int height) {
    bytes pixels(static_cast<size_t>(width) * height);
    for (size_t k = 0; k < pixels.size(); k++) pixels[k] = static_cast<uint8_t>(k % width);
    return pixels;
}

TEST(Downscale, SizesFollowTheFixedPointFactor) {
    struct {
        int width, height, w, h;
        bool reduces;
        int out_w, out_h;
    } cases[] = {
        {400, 300, 200,       200,       true,  200, 150},
        {100, 80,  200,       50,        true,  62,  50 },
        {300, 300, 100,       100,       true,  99,  99 },
        {800, 6,   100,       100,       true,  100, 0  },
        {100, 80,  100,       80,        false, 100, 80 },
        {100, 80,  500,       500,       false, 100, 80 },
        {100, 80,  0,         50,        true,  0,   0  },
        {100, 80,  -40,       50,        true,  0,   0  }, // a negative box is an empty one
        {100, 80,  INT32_MAX, INT32_MAX, false, 100, 80 }, // no wrap in the factor
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " into " +
                     std::to_string(c.w) + "x" + std::to_string(c.h));
        picture p(c.width, c.height, 3, bytes(static_cast<size_t>(c.width) * c.height * 3, 9));
        uint8_t* before = p.img.frame;
        EXPECT_EQ(p.apply(p.fit(c.w, c.h)), c.reduces);
        EXPECT_EQ(p.img.width, c.out_w);
        EXPECT_EQ(p.img.height, c.out_h);
        if (!c.reduces) {
            EXPECT_EQ(p.img.frame, before);
        }
    }
}

TEST(Downscale, BoxesTouchWithoutOverlapping) {
    // f = 341 (300 into 100): boxes of 3 columns; column 98 covers 294..296.
    picture p(300, 6, 1, column_ramp(300, 6));
    ASSERT_TRUE(p.apply(p.fit(100, 100)));
    ASSERT_EQ(p.img.width, 99);
    ASSERT_EQ(p.img.height, 1);
    EXPECT_EQ(p.frame()[0], 1);  // (0 + 1 + 2) / 3
    // Columns 294..296 hold the bytes 38, 39, 40.
    EXPECT_EQ(p.frame()[98], 39);
    // Source columns 297..299 (bytes 41..43) contribute nothing.
}

TEST(Downscale, BoxStartsForFactor400) {
    // 1024 into 400 gives f = 400: boxes start at 0, 2, 5, 7, 10, 12, 15, 17, 20, 23.
    picture q(256, 3, 1, column_ramp(256, 3));
    ASSERT_TRUE(q.apply(q.fit(100, 1000)));  // 100*1024/256 = 400
    const int starts[] = {0, 2, 5, 7, 10, 12, 15, 17, 20, 23, 25};
    bytes out = q.frame();
    for (int j = 0; j < 10; j++) {
        int sum = 0;
        for (int x = starts[j]; x < starts[j + 1]; x++) sum += x;
        EXPECT_EQ(out[j], sum / (starts[j + 1] - starts[j])) << j;
    }
}

TEST(Downscale, AveragesWithoutWrapAndWeighsColoursByAlpha) {
    picture grey(2, 2, 1, {0, 255, 255, 255});
    ASSERT_TRUE(grey.apply(grey.fit(1, 1)));
    EXPECT_EQ(grey.frame(), bytes{191});

    // f = 16: boxes of 64 x 64 white pixels stay white.
    picture white(128, 128, 3, bytes(128 * 128 * 3, 255));
    ASSERT_TRUE(white.apply(white.fit(2, 2)));
    EXPECT_EQ(white.frame(), bytes(2 * 2 * 3, 255));

    picture rgba(2, 2, 4, {10, 20, 30, 255, 30, 40, 50, 255, 10, 20, 30, 9, 30, 40, 50, 9});
    ASSERT_TRUE(rgba.apply(rgba.fit(1, 1)));
    EXPECT_EQ(rgba.frame(), (bytes{20, 30, 40, 132}));
    // The black that transparent pixels store never darkens what stays.
    picture edge(2, 2, 4, {255, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(edge.apply(edge.fit(1, 1)));
    EXPECT_EQ(edge.frame(), (bytes{255, 0, 0, 63}));
}

// A box filter written the plain way, one box at a time, to hold the fast one
// against on pictures of every channel count and many factors.
bytes plain_box_filter(const bytes& src, int width, int height, int channels, int w, int h) {
    int64_t f = std::min(int64_t{w} * 1024 / width, int64_t{h} * 1024 / height);
    int out_w = static_cast<int>(width * f / 1024), out_h = static_cast<int>(height * f / 1024);
    bytes out(static_cast<size_t>(out_w) * out_h * channels, 0);
    int colour_channels = channels >= 3 ? 3 : 1;
    for (int i = 0; i < out_h; i++) {
        for (int j = 0; j < out_w; j++) {
            int64_t x0 = j * 1024 / f, x1 = (j + 1) * 1024 / f;
            int64_t y0 = i * 1024 / f, y1 = (i + 1) * 1024 / f;
            uint8_t* dst = &out[(static_cast<size_t>(i) * out_w + j) * channels];
            // R,G,B,A: colours weighted by alpha, alpha averaged.
            uint64_t alpha = 0;
            for (int64_t y = y0; y < y1 && channels == 4; y++) {
                for (int64_t x = x0; x < x1; x++) alpha += src[(y * width + x) * 4 + 3];
            }
            for (int c = 0; c < colour_channels; c++) {
                uint64_t sum = 0;
                for (int64_t y = y0; y < y1; y++) {
                    for (int64_t x = x0; x < x1; x++) {
                        const uint8_t* p = &src[(y * width + x) * channels];
                        sum += channels == 4 ? uint64_t{p[c]} * p[3] : p[c];
                    }
                }
                uint64_t area = static_cast<uint64_t>((x1 - x0) * (y1 - y0));
                dst[c] = static_cast<uint8_t>(channels != 4 ? sum / area : alpha ? sum / alpha : 0);
            }
            if (channels == 4) dst[3] = static_cast<uint8_t>(alpha / ((x1 - x0) * (y1 - y0)));
        }
    }
    return out;
}

TEST(Downscale, MatchesThePlainBoxFilter) {
    uint32_t seed = 12345;
    for (int channels : {1, 3, 4}) {
        for (auto [width, height, w, h] : std::vector<std::array<int, 4>>{
                 {97,   61,   50,  50 },
                 {300,  200,  299, 199},
                 {640,  7,    33,  100},
                 {1500, 1100, 2,   3  },
                 {64,   64,   63,  64 },
                 {333,  101,  100, 30 },
                 {2050, 3,    1,   1  }
        }) {
            SCOPED_TRACE(std::to_string(channels) + " channels, " + std::to_string(width) + "x" +
                         std::to_string(height) + " into " + std::to_string(w) + "x" +
                         std::to_string(h));
            bytes pixels(static_cast<size_t>(width) * height * channels);
            for (auto& b : pixels)
                b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
            picture p(width, height, channels, pixels);
            ASSERT_TRUE(p.apply(p.fit(w, h)));
            EXPECT_EQ(p.frame(), plain_box_filter(pixels, width, height, channels, w, h));
        }
    }
}

TEST(WindowToRgb, CopiesTheWindowAsRgb) {
    bytes grey(5 * 4);
    for (size_t k = 0; k < grey.size(); k++) grey[k] = static_cast<uint8_t>(k);
    term_geometry big = {-1, 640, 361, 8, 16, false};
    picture p(5, 4, 1, grey);
    ASSERT_TRUE(p.apply(p.window(big, 1, 1, 2, 2)));
    EXPECT_EQ(p.frame(), (bytes{6, 6, 6, 7, 7, 7, 11, 11, 11, 12, 12, 12}));

    picture rgba(2, 1, 4, {1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_TRUE(rgba.apply(rgba.window(big, 0, 0, 2, 1)));
    EXPECT_EQ(rgba.frame(), (bytes{1, 2, 3, 5, 6, 7}));

    bytes rgb(10 * 10 * 3);
    for (size_t k = 0; k < rgb.size(); k++) rgb[k] = static_cast<uint8_t>(k * 3);
    picture same(10, 10, 3, rgb);
    ASSERT_TRUE(same.apply(same.window(big, 0, 0, 10, 10)));
    EXPECT_EQ(same.frame(), rgb);

    picture empty(5, 4, 1, grey);
    ASSERT_TRUE(empty.apply(empty.window(big, 2, 2, 0, 2)));
    EXPECT_EQ(empty.img.width, 0);
    EXPECT_EQ(empty.img.height, 2);
}

TEST(WindowToRgb, StopsAtTheTerminalAndRefusesWindowsOutside) {
    term_geometry narrow = {-1, 16, 361, 8, 16, false};
    picture p(24, 1, 1, bytes(24, 200));
    ASSERT_TRUE(p.apply(p.window(narrow, 0, 0, 24, 1)));
    EXPECT_EQ(p.img.width, 24);
    bytes expected(24 * 3, 0);
    std::fill(expected.begin(), expected.begin() + 16 * 3, 200);
    EXPECT_EQ(p.frame(), expected);

    term_geometry big = {-1, 640, 361, 8, 16, false};
    struct {
        int left, top, width, height;
    } outside[] = {
        {-1, 0,  2,  2},
        {0,  -1, 2,  2},
        {4,  0,  2,  1},
        {0,  3,  1,  2},
        {0,  0,  -1, 1}
    };
    for (const auto& w : outside) {
        picture q(5, 4, 1, bytes(20, 1));
        EXPECT_EQ(q.window(big, w.left, w.top, w.width, w.height), nullptr);
        EXPECT_EQ(q.img.width, 5);
    }
}

// Emits an R,G,B picture into a pipe (or a closed descriptor) and returns
// what came out; `kept` gets the sink's copy, which may grow to `limit`.
std::string emit(const picture& p, bool closed = false, std::string* kept = nullptr,
                 size_t limit = SIZE_MAX) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    term_geometry geometry = {fds[1], 640, 361, 8, 16, false};
    if (closed) close(fds[1]);
    bytes rgb = p.frame();
    sixel_sink sink = make_sixel_sink(&geometry, kept != nullptr, limit);
    EXPECT_TRUE(sixel_emit(&sink, rgb.data(), p.img.width, p.img.height));
    if (kept) *kept = std::string(sink.data ? sink.data : "", sink.size);
    free(sink.data);
    if (!closed) close(fds[1]);
    std::string out = read_all(fds[0]);
    close(fds[0]);
    return out;
}

TEST(SixelEmit, WritesSevenBitSixelOfTheFrame) {
    // Four flat quadrants: red, green / blue, white.
    const int w = 48, h = 36;
    bytes rgb(w * h * 3);
    const uint8_t colours[4][3] = {
        {255, 0,   0  },
        {0,   255, 0  },
        {0,   0,   255},
        {255, 255, 255}
    };
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            const uint8_t* c = colours[(y * 2 / h) * 2 + x * 2 / w];
            std::copy(c, c + 3, &rgb[(y * w + x) * 3]);
        }
    }
    picture p(w, h, 3, rgb);
    std::string kept;
    std::string out = emit(p, false, &kept);
    EXPECT_EQ(kept, out);  // the sink keeps exactly what reached the terminal
    // A copy that would pass its limit stops; the terminal gets every byte.
    EXPECT_EQ(emit(p, false, &kept, out.size() - 1), out);
    EXPECT_EQ(kept, "");
    ASSERT_TRUE(out.starts_with("\033P"));
    ASSERT_TRUE(out.ends_with("\033\\"));
    for (unsigned char c : out) EXPECT_LT(c, 0x80);
    decoded_sixel d;
    ASSERT_TRUE(decode_sixel(out, &d));
    ASSERT_EQ(d.width, w);
    ASSERT_EQ(d.height, h);
    for (size_t k = 0; k < d.rgb.size(); k++) ASSERT_NEAR(d.rgb[k], rgb[k], 10) << k;
}

TEST(SixelEmit, KeepsGoingWhenWritesFail) {
    picture rgb(16, 12, 3, bytes(16 * 12 * 3, 40));
    stderr_capture log;
    std::string kept;
    emit(rgb, true, &kept);  // every chunk fails once, and the emission ends normally
    std::string text = log.text();
    EXPECT_NE(text.find(">>ERROR<<\twrite: Bad file descriptor\n"), std::string::npos);
    EXPECT_EQ(text.find("couldn't"), std::string::npos);
    EXPECT_TRUE(kept.starts_with("\033P"));  // the copy is whole all the same
    EXPECT_TRUE(kept.ends_with("\033\\"));
}

// A picture with a key colour: the introducer asks for a transparent
// background and the key's sixels are blanked in place, also right after its
// definition, which selects it, even when every chunk is a single byte.
TEST(SixelEmit, TheKeyColourLeavesTheStream) {
    const std::string stream =
        "\033Pq\"1;1;2;12#0;2;0;0;100#12;2;9;9;9#1;2;0;0;0!2~$#0~~$#1?\?-#1~~$#0?\?$#12!2~#1@@"
        "\033\\";
    const std::string want =
        "\033P0;1q\"1;1;2;12#0;2;0;0;100#12;2;9;9;9!2?$#0~~$?\?-?\?$#0?\?$#12!2~?\?\033\\";
    for (size_t chunk : {size_t{1}, size_t{3}, stream.size()}) {
        SCOPED_TRACE(chunk);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        term_geometry geometry = {fds[1], 640, 361, 8, 16, false};
        sixel_sink sink = make_sixel_sink(&geometry, true, SIZE_MAX);
        sink.transparent = true;
        sink.key = 1;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            std::string piece = stream.substr(at, chunk);
            sixel_write_callback(piece.data(), static_cast<int>(piece.size()), &sink);
        }
        close(fds[1]);
        EXPECT_EQ(read_all(fds[0]), want);
        EXPECT_EQ(std::string(sink.data, sink.size), want);
        free(sink.data);
        close(fds[0]);
    }
}

TEST(SixelEmit, WriteCallbackIgnoresEmptyChunks) {
    term_geometry geometry = {-1, 640, 361, 8, 16, false};
    sixel_sink sink = make_sixel_sink(&geometry, true, SIZE_MAX);
    stderr_capture log;
    EXPECT_EQ(sixel_write_callback(const_cast<char*>("x"), 0, &sink), 1);
    EXPECT_EQ(sixel_write_callback(const_cast<char*>("x"), -5, &sink), 1);
    EXPECT_EQ(sink.data, nullptr);
    EXPECT_EQ(log.text(), "");
}

}  // namespace

// Draw lines served on a table whose cache holds only a few entries: every
// draw writes the bytes a draw without any cache writes, and the cache never
// holds more than its limit.
TEST(DrawCache, StaysWithinItsLimitAndWritesTheSameBytes) {
    temp_dir dir;
    uint32_t seed = 7;
    for (int k = 1; k <= 4; k++) {
        bytes pixels(120 * 90 * 3);
        for (auto& b : pixels) b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 20);
        write_png(dir.file(std::to_string(k) + ".png"), 120, 90, PNG_COLOR_TYPE_RGB, 8, pixels);
    }
    std::vector<std::string> draws;
    for (int pass = 0; pass < 3; pass++) {
        for (int k = 1; k <= 4; k++) {
            std::string slot = std::to_string(k);
            draws.push_back("1;" + slot + ";8;16;60;45;0;0;0;0;");
            draws.push_back("1;" + slot + ";8;16;60;45;10;" + std::to_string(pass * 5) + ";40;30;");
            draws.push_back("1;" + slot + ";8;16;120;90;30;20;50;50;");
        }
    }
    // Serves the loads and then every draw after a 6; returns what each wrote.
    auto serve = [&](size_t limit, size_t* most) {
        static image_table table;
        static draw_cache cache;
        for (auto& slot : table.slots) image_init(&slot);
        cache.limit = limit;
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        term_geometry terminal = {fds[1], 640, 361, 8, 16, false};
        command_fields fields = {};
        FILE* replies = fopen("/dev/null", "w");
        for (int k = 1; k <= 4; k++) {
            std::string line = "0;" + std::to_string(k) + ";0;0;0;0;0;0;0;0;" +
                               dir.file(std::to_string(k) + ".png");
            handle_command_line(line.data(), &fields, &terminal, &table, &cache, &NO_OPTIONS,
                                replies);
        }
        std::vector<std::string> outputs;
        *most = 0;
        for (const auto& draw : draws) {
            std::string six = "6", line = draw;
            handle_command_line(six.data(), &fields, &terminal, &table, &cache, &NO_OPTIONS,
                                replies);
            handle_command_line(line.data(), &fields, &terminal, &table, &cache, &NO_OPTIONS,
                                replies);
            outputs.push_back(read_all(fds[0]));
            *most = std::max(*most, cache.bytes);
        }
        draw_cache_clear(&cache);
        for (auto& slot : table.slots) image_free_frames(&slot);
        fclose(replies);
        close(fds[0]);
        close(fds[1]);
        return outputs;
    };
    size_t most = 0;
    std::vector<std::string> uncached = serve(0, &most);
    EXPECT_EQ(most, 0u);
    const size_t limit = 40 << 10;
    std::vector<std::string> cached = serve(limit, &most);
    EXPECT_LE(most, limit);
    EXPECT_GT(most, limit / 2);  // the cache was used, and had to let entries go
    ASSERT_EQ(cached.size(), uncached.size());
    for (size_t k = 0; k < cached.size(); k++) {
        EXPECT_FALSE(uncached[k].empty()) << draws[k];
        EXPECT_EQ(cached[k], uncached[k]) << draws[k];
    }
    std::vector<std::string> roomy = serve(DRAW_CACHE_BYTES, &most);
    EXPECT_EQ(roomy, uncached);
}

namespace {

// One copy of the program's state serving host lines in-process, its
// terminal bytes going into a pipe.
struct server {
    std::unique_ptr<image_table> table = std::make_unique<image_table>();
    std::unique_ptr<draw_cache> cache = std::make_unique<draw_cache>();
    int fds[2] = {-1, -1};
    term_geometry terminal = {-1, 640, 361, 8, 16, false};
    command_fields fields = {};
    FILE* replies = tmpfile();

    explicit server(size_t limit) {
        for (auto& slot : table->slots) image_init(&slot);
        cache->limit = limit;
        EXPECT_EQ(pipe(fds), 0);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        terminal.fd = fds[1];
    }
    ~server() {
        draw_cache_clear(cache.get());
        for (auto& slot : table->slots) image_free_frames(&slot);
        fclose(replies);
        close(fds[0]);
        close(fds[1]);
    }
    // Serves `line`; returns what it wrote to the terminal.
    std::string serve(const std::string& line) {
        std::string copy = line;
        handle_command_line(copy.data(), &fields, &terminal, table.get(), cache.get(), &NO_OPTIONS,
                            replies);
        EXPECT_LE(cache->bytes, cache->limit);
        return read_all(fds[0]);
    }
    std::string all_replies() {
        std::string text(static_cast<size_t>(ftell(replies)), '\0');
        rewind(replies);
        text.resize(fread(text.data(), 1, text.size(), replies));
        return text;
    }
};

}  // namespace

// Long random host sessions served side by side without a cache, with a
// small one that must keep letting entries go, and with the default one:
// every line writes the same terminal bytes and replies. The sessions load
// and reload (the same file, a rewritten one, a missing one), query sizes
// into slot 1, use slot numbers out of range, resize the terminal, step
// animations (one with a damaged frame) past their kept frames and draw
// windows that are negative, empty or larger than anything.
TEST(DrawCache, RandomSessionsWriteWhatUncachedDrawsWrite) {
    temp_dir dir;
    uint32_t noise = 11;
    auto random_png = [&](const std::string& name, int width, int height) {
        bytes pixels(static_cast<size_t>(width) * height * 3);
        for (auto& b : pixels) b = static_cast<uint8_t>((noise = noise * 1103515245 + 12345) >> 20);
        write_png(dir.file(name), width, height, PNG_COLOR_TYPE_RGB, 8, pixels);
    };
    random_png("a.png", 120, 90);
    random_png("b.png", 33, 70);
    random_png("swap.png", 50, 50);
    const bytes palette = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    std::vector<gif_frame_spec> frames;
    for (int i = 0; i < 5; i++) {
        frames.push_back({i * 3, i * 2, 20, 14, bytes(20 * 14, static_cast<uint8_t>(i % 4)), 1, 0});
    }
    write_file(dir.file("anim.gif"), make_gif(40, 30, palette, frames));
    bytes damaged = make_gif(40, 30, palette, frames);
    size_t at = make_gif(40, 30, palette, {frames[0], frames[1]}).size() - 1;
    while (damaged[at] != 0x2C) at++;
    damaged[at + 12] = 0xFF;  // frame 2 stops early
    write_file(dir.file("damaged.gif"), damaged);
    const std::vector<std::string> files = {"a.png",    "b.png",       "swap.png",
                                            "anim.gif", "damaged.gif", "missing.png"};
    // Repeats make the common values likelier than the odd ones.
    const int slots[] = {-3, 0, 1, 1, 2, 2, 3, 3, 1024, 2000};
    const int positions[] = {-20, 0, 0, 8, 8, 40, 300, 630, 700};
    const int boxes[] = {-5, 0, 1, 20, 60, 60, 120, 120, 5000, 5000};
    const int offsets[] = {-30, -1, 0, 0, 0, 0, 10, 10, 50, 9999};
    const int spans[] = {-10, 0, 0, 0, 0, 1, 30, 30, 200};
    const int terminals[][2] = {
        {640,  361 },
        {200,  100 },
        {64,   40  },
        {1280, 1001}
    };

    stderr_capture log;  // a log file, so that keeping a decode can be told apart
    for (uint32_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        server uncached(0), small(24 << 10), roomy(DRAW_CACHE_BYTES);
        server* servers[] = {&uncached, &small, &roomy};
        int drawn = 0;
        uint32_t state = seed;
        auto pick = [&](size_t n) {
            state = state * 1664525 + 1013904223;
            return static_cast<size_t>(state >> 8) % n;
        };
        auto any = [&](const auto& table) { return table[pick(std::size(table))]; };
        for (int step = 0; step < 800; step++) {
            std::string line;
            size_t action = pick(20);
            if (action == 0) {
                auto size = any(terminals);
                for (server* s : servers) {
                    s->terminal.width = size[0];
                    s->terminal.height = size[1];
                }
                continue;
            } else if (action == 1) {
                // Another picture under the same name, with a time of its own.
                random_png("swap.png", 50 + static_cast<int>(pick(30)), 50);
                const timespec times[2] = {
                    {step, 0},
                    {step, 0}
                };
                utimensat(AT_FDCWD, dir.file("swap.png").c_str(), times, 0);
                continue;
            } else if (action <= 4) {
                // One pick a statement: the order of a sum's operands is the
                // compiler's choice, and every compiler must see one session.
                int slot = any(slots);
                line = "0;" + std::to_string(slot) + ";0;0;0;0;0;0;0;0;" +
                       dir.file(files[pick(files.size())]);
            } else if (action == 5) {
                line = "5;" + dir.file(files[pick(files.size())]);
            } else if (action <= 8) {
                line = "6";
            } else {
                // Most draws come after a 6, as a host that redraws sends them.
                if (pick(4) != 0) {
                    for (server* s : servers) s->serve("6");
                }
                line = "1;" + std::to_string(any(slots));
                for (int n : {any(positions), any(positions), any(boxes), any(boxes), any(offsets),
                              any(offsets), any(spans), any(spans)}) {
                    line += ";" + std::to_string(n);
                }
                line += ";";
            }
            SCOPED_TRACE(line);
            std::string expected = uncached.serve(line);
            drawn += !expected.empty();
            EXPECT_EQ(small.serve(line), expected);
            EXPECT_EQ(roomy.serve(line), expected);
        }
        EXPECT_GT(drawn, 25);  // enough draws reach the terminal to use the cache
        EXPECT_GT(small.cache->bytes, 0u);
        EXPECT_EQ(small.all_replies(), uncached.all_replies());
        EXPECT_EQ(roomy.all_replies(), uncached.all_replies());
    }
}
