// The real program, run the way a host runs it: a pseudo-terminal as its
// controlling terminal, commands and replies on pipes. These tests check the
// replies, the log files and the bytes that reach the terminal, decoding the
// sixel data back to pixels where it matters.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "control/control.h"
#include "support/fixtures.h"
#include "support/host.h"
#include "support/sixel_decode.h"

namespace {

// A running program in an 80x24 terminal (640x361 drawable pixels).
struct session : ::testing::Test {
    host_process p;
    temp_dir dir;

    std::string main_log() {
        return host_log(p, MAIN_LOG_NAME);
    }

    void start(int columns = 80, int rows = 24, const std::vector<std::string>& args = {}) {
        ASSERT_TRUE(host_start(&p, args, columns, rows));
    }
    void TearDown() override {
        // Every run ends with status 0; under the sanitizers a leak or a
        // fault found at exit shows up here as another status.
        if (p.pid > 0 && p.exit_status < 0) {
            EXPECT_EQ(host_finish(&p), 0);
        }
    }
    // Writes a picture file into the test's folder and returns its path.
    template <typename data_type>
    std::string put(const std::string& name, const data_type& data) {
        write_file(dir.file(name), data);
        return dir.file(name);
    }
    std::string ask(const std::string& line) {
        host_send(&p, line);
        std::string reply;
        EXPECT_TRUE(host_read_reply(&p, &reply)) << line;
        return reply;
    }
    // Sends the lines, waits until they are served, returns the terminal bytes.
    std::string drive(const std::vector<std::string>& lines) {
        for (const auto& line : lines) host_send(&p, line);
        EXPECT_TRUE(host_sync(&p));
        return host_take_tty(&p);
    }
};

// ---- Start-up, options and the command loop -------------------------------

TEST(Options, TestPrintsTheDrawableSize) {
    int status = -1;
    EXPECT_EQ(run_one_shot({"-test"}, 80, 24, &status), "640 361\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(run_one_shot({"-testing"}, 100, 40), "800 617\n");  // five characters match
    EXPECT_EQ(run_one_shot({"x", "-test"}, 0, 0), "0 -23\n");
}

TEST(Options, NoControllingTerminalWritesNothing) {
    for (auto args : std::vector<std::vector<std::string>>{
             {"-test"       },
             {"-size",        "/etc/passwd"},
             {              }
    }) {
        int status = -1;
        temp_dir logs;
        EXPECT_EQ(run_without_terminal(args, &status, logs.path), "");
        EXPECT_EQ(status, 0);
        EXPECT_EQ(read_file(logs.file(INSTANCE_LOG_NAME)),
                  ">>ERROR<<\tcouldn't open \"/dev/tty\"\n"
                  ">>ERROR<<\topen: No such device or address\n"
                  ">>ERROR<<\tcouldn't open controlling terminal\n");
    }
}

TEST_F(session, SizeAsTheLastArgumentRunsTheLoop) {
    start(80, 24, {"-size"});
    EXPECT_EQ(ask("4"), "");
    EXPECT_EQ(host_finish(&p), 0);
}

TEST_F(session, RepliesAndSilence) {
    start();
    host_send(&p, "");
    host_send(&p, "    ");
    host_send(&p, "7");
    host_send(&p, "-1");
    host_send(&p, "2;1");
    EXPECT_EQ(ask("4"), "");
    EXPECT_EQ(ask("4;x"), "");
    EXPECT_EQ(ask(" 4"), "");
    EXPECT_EQ(ask("4294967300"), "");
    EXPECT_EQ(host_finish(&p), 0);
    EXPECT_EQ(p.replies, "");  // nothing but the four replies
    EXPECT_EQ(host_take_tty(&p), "");
}

TEST_F(session, LongLinesAreReadInPieces) {
    start();
    // 1023 bytes of one field, then "4": the second read is the line "4".
    host_send(&p, std::string(1023, 'x') + "4");
    std::string reply;
    ASSERT_TRUE(host_read_reply(&p, &reply));
    EXPECT_EQ(reply, "");
    EXPECT_EQ(ask("4"), "");
}

TEST_F(session, MainLogIsTruncatedAndInstanceLogAppended) {
    write_file(p.logs.file(MAIN_LOG_NAME), std::string("old contents\n"));
    write_file(p.logs.file(INSTANCE_LOG_NAME), std::string("earlier start\n"));
    start();
    ask("5;/nonexistent/picture.png");
    EXPECT_EQ(host_finish(&p), 0);
    EXPECT_EQ(main_log(),
              ">>ERROR<<\tcouldn't open \"/nonexistent/picture.png\"\n"
              ">>ERROR<<\tfopen: No such file or directory\n");
    EXPECT_EQ(host_log(p, INSTANCE_LOG_NAME), "earlier start\n");
    struct stat info;
    ASSERT_EQ(stat(p.logs.file(MAIN_LOG_NAME).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

// Whatever another user plants at the logs' names in the shared folder, the
// program starts at once, leaves it as it was, and logs into the user's
// private folder instead.
TEST(Logs, PlantedFilesAreLeftAloneAndTheLogsGoToAPrivateFolder) {
    struct planted {
        const char* what;
        bool needs_root;  // giving a file to another user
        void (*plant)(const std::string& path, const std::string& victim);
    } cases[] = {
        {"a symbolic link",                      false,
         [](const std::string& path, const std::string& victim) {
             ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
         }},
        {"a FIFO that would block the open",     false,
         [](const std::string& path, const std::string&) {
             ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
         }},
        {"a hard link to another file",          false,
         [](const std::string& path, const std::string& victim) {
             ASSERT_EQ(link(victim.c_str(), path.c_str()), 0);
         }},
        {"a folder",                             false,
         [](const std::string& path, const std::string&) {
             ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
         }},
        {"another user's file anyone may write", true,
         [](const std::string& path, const std::string&) {
             write_file(path, std::string("precious\n"));
             ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
             ASSERT_EQ(chmod(path.c_str(), 0666), 0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_root && geteuid() != 0) continue;
        temp_dir runtime;
        host_process p;
        std::string victim = p.logs.file("victim");
        write_file(victim, std::string("precious\n"));
        for (const char* name : {MAIN_LOG_NAME, INSTANCE_LOG_NAME}) {
            c.plant(p.logs.file(name), victim);
        }
        p.environment = {"XDG_RUNTIME_DIR=" + runtime.path};
        ASSERT_TRUE(host_start(&p, {}));
        host_send(&p, "5;/nonexistent/picture.png");
        std::string reply;
        EXPECT_TRUE(host_read_reply(&p, &reply));  // the program still serves the host
        EXPECT_EQ(host_finish(&p), 0);
        EXPECT_EQ(read_file(victim), "precious\n");
        EXPECT_EQ(p.tty, "");
        std::string folder = runtime.file("vorpix-sixel");
        struct stat info;
        ASSERT_EQ(stat(folder.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        EXPECT_EQ(read_file(folder + "/" + MAIN_LOG_NAME),
                  ">>ERROR<<\tcouldn't open \"/nonexistent/picture.png\"\n"
                  ">>ERROR<<\tfopen: No such file or directory\n");
    }
}

TEST_F(session, SurvivesTheHostClosingItsReplies) {
    start();
    close(p.from_stdout);  // the host stops reading: replies now fail with EPIPE
    p.from_stdout = -1;
    host_send(&p, "4");
    host_send(&p, "5;/nonexistent");
    EXPECT_EQ(host_finish(&p), 0);
}

// ---- Pictures for the draws ------------------------------------------------

// A P6 picture whose pixel (x, y) is colour(x, y).
template <typename F>
std::string ppm(int width, int height, F colour) {
    std::string data = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            bytes c = colour(x, y);
            data.append(c.begin(), c.end());
        }
    }
    return data;
}

std::string flat_ppm(int width, int height, uint8_t r = 200, uint8_t g = 100, uint8_t b = 50) {
    return ppm(width, height, [&](int, int) { return bytes{r, g, b}; });
}

// Four flat quadrants: red, green / blue, white.
bytes quadrant_colour(int x, int y, int width, int height) {
    static const bytes colours[4] = {
        {255, 0,   0  },
        {0,   255, 0  },
        {0,   0,   255},
        {255, 255, 255}
    };
    return colours[(y * 2 / height) * 2 + x * 2 / width];
}

std::string image_line(int command, int slot, int x, int y, int w, int h, int sx, int sy, int sw,
                       int sh, const std::string& path = "") {
    return std::to_string(command) + ";" + std::to_string(slot) + ";" + std::to_string(x) + ";" +
           std::to_string(y) + ";" + std::to_string(w) + ";" + std::to_string(h) + ";" +
           std::to_string(sx) + ";" + std::to_string(sy) + ";" + std::to_string(sw) + ";" +
           std::to_string(sh) + ";" + path;
}

std::string load_line(int slot, const std::string& path) {
    return image_line(0, slot, 0, 0, 0, 0, 0, 0, 0, 0, path);
}

// One draw's output: exactly a cursor move followed by one sixel picture.
struct drawn_picture {
    int row = 0, column = 0;
    decoded_sixel pixels;
};

::testing::AssertionResult one_draw(const std::string& tty, drawn_picture* out) {
    std::string other;
    std::vector<tty_event> events = split_tty_output(tty, &other);
    if (!other.empty()) return ::testing::AssertionFailure() << "stray bytes: " << other;
    if (events.size() != 2 || events[0].is_sixel || !events[1].is_sixel) {
        return ::testing::AssertionFailure()
               << events.size() << " events in " << tty.size() << " bytes";
    }
    out->row = events[0].row;
    out->column = events[0].column;
    if (!decode_sixel(events[1].data, &out->pixels)) {
        return ::testing::AssertionFailure() << "not a sixel stream";
    }
    return ::testing::AssertionSuccess();
}

bytes pixel(const decoded_sixel& d, int x, int y) {
    size_t k = (static_cast<size_t>(y) * d.width + x) * 3;
    return bytes(d.rgb.begin() + static_cast<long>(k), d.rgb.begin() + static_cast<long>(k + 3));
}

::testing::AssertionResult near_colour(const bytes& got, const bytes& want, int tolerance = 10) {
    for (int i = 0; i < 3; i++) {
        if (std::abs(got[i] - want[i]) > tolerance) {
            return ::testing::AssertionFailure()
                   << "got " << int(got[0]) << "," << int(got[1]) << "," << int(got[2]) << " want "
                   << int(want[0]) << "," << int(want[1]) << "," << int(want[2]);
        }
    }
    return ::testing::AssertionSuccess();
}

// ---- Draws ----------------------------------------------------------------

TEST_F(session, WorkedExampleFitsClipsAndPlaces) {
    start();  // 640 x 361 drawable
    std::string pic = put("400x300.ppm", flat_ppm(400, 300));
    drawn_picture d;
    ASSERT_TRUE(one_draw(drive({load_line(3, pic), "1;3;600;320;200;150;0;0;0;0;"}), &d));
    EXPECT_EQ(d.row, 21);
    EXPECT_EQ(d.column, 76);
    EXPECT_EQ(d.pixels.width, 40);
    EXPECT_EQ(d.pixels.height, 41);
    // Sent again, the same line does nothing until command 6.
    EXPECT_EQ(drive({"1;3;600;320;200;150;0;0;0;0;"}), "");
    ASSERT_TRUE(one_draw(drive({"6", "1;3;600;320;200;150;0;0;0;0;"}), &d));
    EXPECT_EQ(main_log(), "");
}

TEST_F(session, OwnSizeComesBackWithItsColours) {
    start();
    std::string pic =
        put("q.ppm", ppm(64, 48, [](int x, int y) { return quadrant_colour(x, y, 64, 48); }));
    drawn_picture d;
    ASSERT_TRUE(
        one_draw(drive({load_line(1, pic), image_line(1, 1, 15, 31, 64, 48, 0, 0, 0, 0)}), &d));
    EXPECT_EQ(d.row, 2);  // the pixel position is truncated to its cell
    EXPECT_EQ(d.column, 2);
    ASSERT_EQ(d.pixels.width, 64);
    ASSERT_EQ(d.pixels.height, 48);
    for (int y = 0; y < 48; y++) {
        for (int x = 0; x < 64; x++) {
            ASSERT_TRUE(near_colour(pixel(d.pixels, x, y), quadrant_colour(x, y, 64, 48)))
                << x << "," << y;
        }
    }
}

TEST_F(session, FitsWindowsAndClamps) {
    start();
    std::string big = put("400x300.ppm", flat_ppm(400, 300));
    std::string wide = put("400x200.ppm", flat_ppm(400, 200));
    drive({load_line(1, big), load_line(2, wide)});
    struct {
        std::string name, line;
        int width, height;
    } cases[] = {
        {"fit 400x300 into 200x200",      image_line(1, 1, 0,   0,   200, 200, 0,   0,  0,  0),  200, 150},
        {"box larger than the picture",   image_line(1, 1, 0,   0,   500, 500, 0,   0,  0,  0),  400, 300},
        {"window clamped by the picture", image_line(1, 2, 0,   0,   200, 100, 180, 0,  50, 40), 20,  40 },
        {"window inside",                 image_line(1, 2, 8,   16,  200, 100, 10,  20, 30, 25), 30,  25 },
        {"clamped by the terminal",       image_line(1, 1, 600, 0,   400, 300, 0,   0,  0,  0),  40,  300},
        {"clamped at the bottom",         image_line(1, 1, 0,   300, 400, 300, 0,   0,  0,  0),  400, 61 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        drawn_picture d;
        ASSERT_TRUE(one_draw(drive({"6", c.line}), &d));
        EXPECT_EQ(d.pixels.width, c.width);
        EXPECT_EQ(d.pixels.height, c.height);
        EXPECT_TRUE(near_colour(pixel(d.pixels, 0, 0), {200, 100, 50}));
    }
}

// Draws outside the terminal move the cursor past a damaged frame that no
// draw has decoded yet; the visible draw that reaches it shows the first
// frame, since the animation now ends at the damage.
TEST_F(session, AVisibleDrawPastADamagedFrameShowsAPicture) {
    start();
    const bytes palette = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    std::vector<gif_frame_spec> frames;
    for (int i = 0; i < 6; i++) {
        frames.push_back({0, 0, 24, 12, bytes(24 * 12, static_cast<uint8_t>(i % 3 + 1)), 5, 1, -1});
    }
    bytes file = make_gif(24, 12, palette, frames);
    // Frame 3's first picture data: past three frames, its image descriptor
    // (10 bytes), the code size and the sub-block's length.
    size_t at = make_gif(24, 12, palette, {frames[0], frames[1], frames[2]}).size() - 1;
    while (file[at] != 0x2C) at++;
    file[at + 12] = 0xFF;  // codes beyond the table: the decoder stops there
    std::string gif = put("damaged.gif", file);
    drive({load_line(1, gif)});
    for (int i = 0; i < 5; i++) EXPECT_EQ(drive({"6", "1;1;9000;0;24;12;0;0;0;0;"}), "");
    drawn_picture d;
    ASSERT_TRUE(one_draw(drive({"6", "1;1;0;0;24;12;0;0;0;0;"}), &d));
    EXPECT_TRUE(near_colour(pixel(d.pixels, 5, 5), {255, 0, 0}));  // frame 0
    ASSERT_TRUE(one_draw(drive({"6", "1;1;0;0;24;12;0;0;0;0;"}), &d));
    EXPECT_TRUE(near_colour(pixel(d.pixels, 5, 5), {0, 255, 0}));  // frame 1
}

TEST_F(session, AnimationStepsOneFramePerDraw) {
    start();
    const bytes palette = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    std::vector<gif_frame_spec> frames;
    for (int i = 0; i < 3; i++)
        frames.push_back({0, 0, 24, 12, bytes(24 * 12, static_cast<uint8_t>(i + 1)), 5, 1, -1});
    std::string gif = put("anim.gif", make_gif(24, 12, palette, frames));
    const bytes expected[] = {
        {255, 0,   0  },
        {0,   255, 0  },
        {0,   0,   255},
        {255, 0,   0  }
    };
    drive({load_line(9, gif)});
    for (const auto& colour : expected) {
        drawn_picture d;
        ASSERT_TRUE(one_draw(drive({"6", image_line(1, 9, 0, 0, 24, 12, 0, 0, 0, 0)}), &d));
        EXPECT_TRUE(near_colour(pixel(d.pixels, 5, 5), colour));
    }
}

TEST_F(session, AWindowSizeChangeTakesEffectForTheNextCommand) {
    start();
    std::string pic = put("p.ppm", flat_ppm(400, 300));
    drawn_picture d;
    ASSERT_TRUE(
        one_draw(drive({load_line(1, pic), image_line(1, 1, 0, 0, 400, 300, 0, 0, 0, 0)}), &d));
    EXPECT_EQ(d.pixels.width, 400);
    host_resize(&p, 30, 10);  // 240 x 137 drawable
    ASSERT_TRUE(one_draw(drive({"6", image_line(1, 1, 0, 0, 400, 300, 0, 0, 0, 0)}), &d));
    EXPECT_EQ(d.pixels.width, 240);
    EXPECT_EQ(d.pixels.height, 137);
}

TEST_F(session, GreyPicturesAreDrawn) {
    start();
    std::string pgm = dir.file("g.pgm");
    write_file(pgm, std::string("P5 16 12 255\n") + std::string(16 * 12, '\x80'));
    drawn_picture grey;
    ASSERT_TRUE(
        one_draw(drive({load_line(1, pgm), image_line(1, 1, 0, 0, 16, 12, 0, 0, 0, 0)}), &grey));
    EXPECT_TRUE(near_colour(pixel(grey.pixels, 3, 3), {128, 128, 128}, 1));
}

// A red disc on a transparent background, whose transparent pixels store
// black: they stay unpainted (the introducer asks for a transparent
// background), at the picture's own size and fitted, and the fit does not
// darken the disc's edge. A window without a transparent pixel keeps the
// plain introducer.
TEST_F(session, TransparentPixelsAreLeftUnpainted) {
    start();
    bytes disc;
    for (int y = 0; y < 32; y++) {
        for (int x = 0; x < 40; x++) {
            bool inside = (x - 20) * (x - 20) + (y - 16) * (y - 16) <= 144;
            disc.insert(disc.end(), {static_cast<uint8_t>(inside ? 255 : 0), 0, 0,
                                     static_cast<uint8_t>(inside ? 255 : 0)});
        }
    }
    write_png(dir.file("disc.png"), 40, 32, 6 /* RGBA */, 8, disc);
    // A transparent GIF: index 0 is the transparent one.
    const bytes palette = {0, 0, 0, 0, 0, 255};
    bytes indexes(8 * 6, 1);
    indexes[0] = indexes[7] = 0;
    write_file(dir.file("t.gif"), make_gif(8, 6, palette,
                                           {
                                               {0, 0, 8, 6, indexes, 0, 0, 0}
    }));
    drive({load_line(1, dir.file("disc.png")), load_line(2, dir.file("t.gif"))});

    struct {
        std::string draw;
        int width, height;
        std::vector<std::array<int, 2>> unpainted, painted;
        bytes colour;
    } cases[] = {
        {image_line(1, 1, 0, 0, 40, 32, 0, 0, 0, 0),
         40, 32,
         {{0, 0}, {39, 31}, {7, 16}},
         {{20, 16}, {8, 16}},
         {255, 0, 0}},
        {image_line(1, 1, 0, 0, 20, 16, 0, 0, 0, 0),
         20, 16,
         {{0, 0}, {19, 15}},
         {{10, 8}, {5, 8}},
         {255, 0, 0}},
        {image_line(1, 2, 0, 0, 8,  6,  0, 0, 0, 0),
         8,  6,
         {{0, 0}, {7, 0}},
         {{1, 0}, {7, 5}},
         {0, 0, 255}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.draw);
        std::string tty = drive({"6", c.draw});
        EXPECT_NE(tty.find("\033P0;1q"), std::string::npos);
        drawn_picture d;
        ASSERT_TRUE(one_draw(tty, &d));
        ASSERT_EQ(d.pixels.width, c.width);
        ASSERT_EQ(d.pixels.height, c.height);
        for (auto [x, y] : c.unpainted) {
            EXPECT_FALSE(d.pixels.painted[static_cast<size_t>(y) * c.width + x]) << x << "," << y;
        }
        for (auto [x, y] : c.painted) EXPECT_TRUE(near_colour(pixel(d.pixels, x, y), c.colour, 1));
        // Every painted pixel is the disc's own colour: nothing darkened.
        for (int k = 0; k < c.width * c.height; k++) {
            if (!d.pixels.painted[k]) continue;
            EXPECT_TRUE(near_colour(pixel(d.pixels, k % c.width, k / c.width), c.colour, 1)) << k;
        }
    }
    // A window inside the disc has no transparent pixel.
    std::string tty = drive({"6", image_line(1, 1, 0, 0, 40, 32, 16, 12, 8, 8)});
    EXPECT_NE(tty.find("\033Pq"), std::string::npos);
}

// A picture of few colours is written with exactly those colours, to the
// precision of sixel's percentages; one of many colours with transparent
// pixels gets a palette chosen from its opaque pixels.
TEST_F(session, FewColoursAreExactAndManyKeepTheirTransparency) {
    start();
    bytes few, many;
    for (int y = 0; y < 20; y++) {
        for (int x = 0; x < 40; x++) {
            // 200 colours in 4-pixel-wide steps, and a transparent column.
            int k = (y / 2) * 20 + x / 2;
            few.insert(few.end(), {static_cast<uint8_t>(k), static_cast<uint8_t>(255 - k),
                                   static_cast<uint8_t>(k * 7)});
            many.insert(many.end(),
                        {static_cast<uint8_t>(x * 6), static_cast<uint8_t>(y * 12),
                         static_cast<uint8_t>(x * y), static_cast<uint8_t>(x == 0 ? 0 : 255)});
        }
    }
    write_png(dir.file("few.png"), 40, 20, 2 /* RGB */, 8, few);
    write_png(dir.file("many.png"), 40, 20, 6 /* RGBA */, 8, many);
    drawn_picture d;
    std::string tty =
        drive({load_line(1, dir.file("few.png")), image_line(1, 1, 0, 0, 40, 20, 0, 0, 0, 0)});
    EXPECT_NE(tty.find("\033Pq"), std::string::npos);
    ASSERT_TRUE(one_draw(tty, &d));
    for (int k = 0; k < 40 * 20; k++) {
        bytes want(few.begin() + k * 3, few.begin() + k * 3 + 3);
        ASSERT_TRUE(near_colour(pixel(d.pixels, k % 40, k / 40), want, 2)) << k;
    }
    tty = drive({load_line(2, dir.file("many.png")), image_line(1, 2, 0, 0, 40, 20, 0, 0, 0, 0)});
    EXPECT_NE(tty.find("\033P0;1q"), std::string::npos);
    ASSERT_TRUE(one_draw(tty, &d));
    // Dithered: each pixel may be off, the colours on average are not.
    int64_t error[3] = {};
    for (int k = 0; k < 40 * 20; k++) {
        int x = k % 40;
        EXPECT_EQ(d.pixels.painted[k], x != 0) << k;
        if (x == 0) continue;
        for (int c = 0; c < 3; c++) error[c] += d.pixels.rgb[k * 3 + c] - many[k * 4 + c];
    }
    for (int c = 0; c < 3; c++) EXPECT_LT(std::abs(error[c]) / (39 * 20), 4) << c;
}

TEST_F(session, SlotNumbersAreClampedIntoTheTable) {
    start();
    std::string a = put("a.ppm", flat_ppm(16, 12, 255, 0, 0));
    std::string b = put("b.ppm", flat_ppm(16, 12, 0, 0, 255));
    drive({load_line(-5, a), load_line(99999, b)});
    drawn_picture d;
    ASSERT_TRUE(one_draw(drive({image_line(1, 1, 0, 0, 16, 12, 0, 0, 0, 0)}), &d));
    EXPECT_TRUE(near_colour(pixel(d.pixels, 0, 0), {255, 0, 0}));
    ASSERT_TRUE(one_draw(drive({image_line(1, 1024, 0, 0, 16, 12, 0, 0, 0, 0)}), &d));
    EXPECT_TRUE(near_colour(pixel(d.pixels, 0, 0), {0, 0, 255}));
    EXPECT_EQ(drive({"6", image_line(1, 0, 0, 0, 16, 12, 0, 0, 0, 0).substr(0, 18),  // 10 fields
                     image_line(1, 0, 0, 0, 16, 12, 0, 0, 0, 0) + ";extra"}),        // 12 fields
              "");
    EXPECT_EQ(main_log(), "");
}

TEST_F(session, DrawsThatShowNothingWriteNothing) {
    start();
    std::string pic = put("p.ppm", flat_ppm(100, 80));
    std::string none = put("none.gif", make_gif(5, 3, {0, 0, 0, 255, 255, 255}, {}, -1));
    drive({load_line(1, pic)});
    struct {
        std::string name, line;
    } cases[] = {
        {"window right of the picture", image_line(1, 1, 0,   0,   100,  80,  100,  0,   0,  0) },
        {"window below the picture",    image_line(1, 1, 0,   0,   100,  80,  0,    500, 0,  0) },
        {"window left of the picture",  image_line(1, 1, 0,   0,   100,  80,  -200, 0,   50, 0) },
        {"beyond the terminal",         image_line(1, 1, 640, 0,   100,  80,  0,    0,   0,  0) },
        {"below the terminal",          image_line(1, 1, 0,   400, 100,  80,  0,    0,   0,  0) },
        {"empty box",                   image_line(1, 1, 0,   0,   0,    0,   0,    0,   0,  0) },
        {"negative box",                image_line(1, 1, 0,   0,   -100, -80, 0,    0,   0,  0) },
        {"negative window",             image_line(1, 1, 0,   0,   100,  80,  0,    0,   -5, -5)},
        {"fitted to no rows",           image_line(1, 1, 0,   0,   100,  1,   0,    0,   0,  0) },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(drive({"6", c.line}), "");
    }
    // An empty slot and a GIF without frames have nothing to draw.
    EXPECT_EQ(drive({image_line(1, 7, 0, 0, 10, 10, 0, 0, 0, 0), load_line(5, none),
                     image_line(1, 5, 0, 0, 10, 10, 0, 0, 0, 0)}),
              "");
    EXPECT_EQ(main_log(),
              ">>ERROR<<\tspecify unloaded image? img[6] is NULL\n"
              ">>ERROR<<\tspecify unloaded image? img[4] is NULL\n"
              ">>ERROR<<\tspecify unloaded image? img[4] is NULL\n");
    // The program is still in its place: a normal draw works.
    drawn_picture d;
    ASSERT_TRUE(one_draw(drive({"6", image_line(1, 1, 0, 0, 100, 80, 0, 0, 0, 0)}), &d));
}

TEST_F(session, PartlyOffScreenDrawsStartAtTheFirstCell) {
    start();
    std::string pic = put("p.ppm", flat_ppm(100, 80));
    drawn_picture d;
    ASSERT_TRUE(
        one_draw(drive({load_line(1, pic), image_line(1, 1, -40, -40, 100, 80, 0, 0, 0, 0)}), &d));
    EXPECT_EQ(d.row, 1);
    EXPECT_EQ(d.column, 1);
    EXPECT_EQ(d.pixels.width, 100);
}

// A window that begins left of or above the picture keeps the host's
// geometry: the picture's first column lands at x - sx, its first row at
// y - sy, rounded to the cell like every position.
TEST_F(session, WindowsStartingBeforeThePictureKeepItsPlace) {
    start();
    std::string pic =
        put("q.ppm", ppm(64, 48, [](int x, int y) { return quadrant_colour(x, y, 64, 48); }));
    drawn_picture d;
    ASSERT_TRUE(one_draw(
        drive({load_line(1, pic), image_line(1, 1, 80, 64, 64, 48, -16, -32, 64, 48)}), &d));
    EXPECT_EQ(d.column, 96 / 8 + 1);
    EXPECT_EQ(d.row, 96 / 16 + 1);
    EXPECT_EQ(d.pixels.width, 48);  // the window's part inside the picture
    EXPECT_EQ(d.pixels.height, 16);
    EXPECT_TRUE(near_colour(pixel(d.pixels, 0, 0), {255, 0, 0}));   // the picture's top left
    EXPECT_TRUE(near_colour(pixel(d.pixels, 47, 0), {0, 255, 0}));  // and its column 47
}

TEST_F(session, FailedLoadEmptiesTheSlot) {
    start();
    std::string pic = put("p.ppm", flat_ppm(16, 12));
    drive({load_line(4, pic), load_line(4, dir.file("missing.png"))});
    EXPECT_EQ(drive({image_line(1, 4, 0, 0, 16, 12, 0, 0, 0, 0)}), "");
}

TEST_F(session, OutOfRangeNumbersAreLoggedAndTakenAsZero) {
    start();
    std::string pic = put("p.ppm", flat_ppm(16, 12));
    drawn_picture d;
    ASSERT_TRUE(
        one_draw(drive({load_line(1, pic), "1;1;99999999999999999999;0;16;12;0;0;0;0;"}), &d));
    EXPECT_EQ(d.column, 1);
    EXPECT_EQ(main_log(), ">>ERROR<<\tstrtol: Numerical result out of range\n");
}

TEST_F(session, TerminalWriteFailuresAreLoggedAndServingGoesOn) {
    p.ignore_hangup = true;  // a host may outlive its terminal
    start();
    std::string pic = put("p.ppm", flat_ppm(64, 48));
    host_send(&p, load_line(1, pic));
    EXPECT_EQ(ask("4"), "");
    host_close_terminal(&p);
    host_send(&p, image_line(1, 1, 0, 0, 64, 48, 0, 0, 0, 0));
    EXPECT_EQ(ask("4"), "");
    EXPECT_EQ(ask("5;" + pic), "64 48");
    EXPECT_EQ(host_finish(&p), 0);
    std::string log = main_log();
    EXPECT_EQ(log.rfind(">>ERROR<<\twrite: Input/output error\n", 0), 0u) << log;
}

// A FIFO would block the command loop, the terminal would wait for keys and
// standard input would eat the host's own commands: only regular files are
// opened, without waiting.
TEST_F(session, PathsThatAreNotRegularFilesAreRefusedAtOnce) {
    start();
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (std::string path : {fifo, std::string("/dev/tty"), std::string("/dev/stdin"), dir.path}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(ask("5;" + path), "0 0");
        host_send(&p, load_line(2, path));
        EXPECT_EQ(ask("4"), "");  // still serving, and the host's lines all arrived
    }
    std::string log = main_log();
    EXPECT_NE(log.find(">>ERROR<<\tnot a regular file: " + fifo + "\n"), std::string::npos) << log;
    EXPECT_NE(log.find(">>ERROR<<\tnot a regular file: /dev/tty\n"), std::string::npos);
}

// When no log can be opened, standard error (here the terminal, as it
// usually is for a host's child) goes to /dev/null: not a byte of a log
// line may reach the screen.
TEST(Logs, UnopenableLogsNeverReachTheTerminal) {
    host_process p;
    for (const char* name : {MAIN_LOG_NAME, INSTANCE_LOG_NAME}) {
        ASSERT_EQ(mkdir(p.logs.file(name).c_str(), 0700), 0);  // a folder cannot be written
    }
    p.environment = {"XDG_RUNTIME_DIR=" + p.logs.file("missing/folder")};
    ASSERT_TRUE(host_start(&p, {}));
    host_send(&p, "5;/nonexistent/picture.png");
    std::string reply;
    EXPECT_TRUE(host_read_reply(&p, &reply));
    EXPECT_EQ(reply, "0 0");
    EXPECT_TRUE(host_sync(&p));
    EXPECT_EQ(host_finish(&p), 0);
    EXPECT_EQ(p.tty, "");
}

// ---- Preview hosts: options, show on load, the terminal's cells -------------

TEST(Options, HelpAndVersionAnswerAtOnce) {
    int status = -1;
    temp_dir logs;
    std::string help = run_without_terminal({"-show-on-load", "--help"}, &status, logs.path);
    EXPECT_EQ(status, 0);
    for (const char* word : {"-show-on-load", "-terminal-cells", "VORPIX_SIXEL_OPTIONS", "-size"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
    std::string version = run_one_shot({"--version"}, 80, 24, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(version.rfind("vorpix-sixel 1.", 0), 0u) << version;
}

// -test in an 80x24 terminal that reports (or not) its cells in pixels.
TEST(Options, TerminalCellsFollowTheReportedPixelSize) {
    struct {
        std::vector<std::string> args;
        std::string variable;
        int cell_width, cell_height;
        const char* size;
    } cases[] = {
        {{},                                     "",                                 10, 20, "640 361\n"},
        {{"-terminal-cells"},                    "",                                 10, 20, "800 453\n"},
        {{},                                     " -show-on-load\t-terminal-cells ", 10, 20, "800 453\n"},
        {{"-terminal-cells"},                    "",                                 0,  0,  "640 361\n"},
        {{"-terminal-cells"},                    "",                                 6,  13, "480 292\n"},
        {{"-terminal-cellsx", "-terminal-cell"}, "-terminal-cells-",                 10, 20, "640 361\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable + " " + std::to_string(c.args.size()));
        host_process p;
        p.cell_width = c.cell_width;
        p.cell_height = c.cell_height;
        if (!c.variable.empty()) p.environment = {"VORPIX_SIXEL_OPTIONS=" + c.variable};
        std::vector<std::string> args = c.args;
        args.push_back("-test");
        ASSERT_TRUE(host_start(&p, args));
        EXPECT_EQ(host_finish(&p), 0);
        EXPECT_EQ(p.replies, c.size);
    }
}

// A preview host: the size, one load line with a box, a sync; no draw line.
TEST_F(session, PreviewHostWithBothOptions) {
    p.cell_width = 10;
    p.cell_height = 20;
    p.environment = {"VORPIX_SIXEL_OPTIONS=-show-on-load -terminal-cells"};
    start();  // 800 x 453 drawable
    std::string pic = put("p.ppm", flat_ppm(101, 50));
    EXPECT_EQ(ask("5;" + pic), "110 60");
    drawn_picture d;
    ASSERT_TRUE(one_draw(drive({"0;1;600;45;200;100;;;;;" + pic}), &d));
    EXPECT_EQ(d.row, 3);
    EXPECT_EQ(d.column, 61);
    EXPECT_EQ(d.pixels.width, 101);
    EXPECT_EQ(d.pixels.height, 50);
    // Drawn: every draw line waits for command 6 or a new load.
    EXPECT_EQ(drive({"1;1;0;0;50;50;0;0;0;0;"}), "");
    ASSERT_TRUE(one_draw(drive({"6", "1;1;0;0;50;50;0;0;0;0;"}), &d));
    EXPECT_EQ(d.pixels.width, 49);  // fitted: 101 x 506/1024
    // A load without a box only loads; a failed load draws nothing.
    EXPECT_EQ(drive({load_line(1, pic), "0;2;0;0;50;50;0;0;0;0;" + dir.file("missing")}), "");
    // The font changes: the cells follow from the next command on.
    p.cell_width = 8;
    p.cell_height = 16;
    host_resize(&p, 80, 24);
    ASSERT_TRUE(one_draw(drive({"0;1;600;45;200;100;;;;;" + pic}), &d));
    EXPECT_EQ(d.row, 3);
    EXPECT_EQ(d.column, 76);
    EXPECT_EQ(d.pixels.width, 40) << main_log();  // clipped at the 640-pixel edge
}

// A load line with a box, shown on load, writes exactly what the load and a
// draw line with the same fields write; without the option the same load
// line draws nothing.
TEST(Options, ShowOnLoadIsTheDrawOfTheSameFields) {
    temp_dir dir;
    write_file(dir.file("q.ppm"),
               ppm(300, 200, [](int x, int y) { return quadrant_colour(x, y, 300, 200); }));
    std::string numbers = "1;35;18;150;150;10;20;100;60;";
    auto run = [&](const std::vector<std::string>& args, const std::vector<std::string>& lines) {
        host_process p;
        EXPECT_TRUE(host_start(&p, args));
        for (const auto& line : lines) host_send(&p, line);
        EXPECT_TRUE(host_sync(&p));
        std::string tty = host_take_tty(&p);
        EXPECT_EQ(host_finish(&p), 0);
        EXPECT_EQ(host_log(p, MAIN_LOG_NAME), "");
        return tty;
    };
    std::string load = "0;" + numbers + dir.file("q.ppm");
    std::string shown = run({"-show-on-load"}, {load});
    EXPECT_EQ(shown, run({}, {load, "1;" + numbers}));
    EXPECT_NE(shown, "");
    EXPECT_EQ(run({}, {load}), "");
}

// ---- Size query -------------------------------------------------------------

TEST_F(session, SizeRepliesForEveryFormat) {
    start();
    bytes rgb(100 * 50 * 3, 60);
    write_png(dir.file("a.png"), 100, 50, 2 /* RGB */, 8, rgb);
    write_jpeg(dir.file("a.jpg"), 100, 50, 3, rgb);
    write_bmp(dir.file("a.bmp"), 100, 50, 24, rgb);
    write_file(dir.file("a.gif"), make_gif(100, 50,
                                           {
                                               0, 0, 0, 9, 9, 9
    },
                                           {{0, 0, 100, 50, bytes(5000, 1)}}));
    write_file(dir.file("a.ppm"), flat_ppm(100, 50));
    write_file(dir.file("one.ppm"), flat_ppm(1, 1));
    write_file(dir.file("vga.ppm"), flat_ppm(640, 480));
    write_file(dir.file("text"), std::string("not a picture at all\n"));
    for (const char* name :
         {"lossy.webp", "anim.webp", "quadrants.avif", "quadrants-irot1.avif", "anim.avif"}) {
        write_file(dir.file(name), read_file(std::string(VORPIX_TEST_DATA) + "/good/" + name));
    }
    struct {
        std::string name, reply;
    } cases[] = {
        {"a.png",                "104 64" },
        {"a.jpg",                "104 64" },
        {"a.bmp",                "104 64" },
        {"a.gif",                "104 64" },
        {"a.ppm",                "104 64" },
        {"one.ppm",              "8 16"   },
        {"vga.ppm",              "640 480"},
        {"missing",              "0 0"    },
        {"lossy.webp",           "32 32"  },
        {"anim.webp",            "24 16"  },
        {"quadrants.avif",       "32 32"  },
        {"quadrants-irot1.avif", "24 32"  },
        {"anim.avif",            "24 16"  },
        {"text",                 "0 0"    },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ask("5;" + dir.file(c.name)), c.reply) << c.name;
        EXPECT_EQ(run_one_shot({"-size", dir.file(c.name)}), c.reply + "\n") << c.name;
    }
    EXPECT_EQ(run_one_shot({"-sizes", dir.file("one.ppm")}), "8 16\n");
}

// Sizes are raised to whole cells in 64 bits: one that the reply's 32-bit
// numbers cannot carry answers 0 0 (these pictures have no pixels, so they load).
TEST_F(session, SizeRepliesThatWouldOverflowAreZero) {
    start();
    EXPECT_EQ(ask("5;" + put("wide.pgm", std::string("P5\n2147483647 0\n255\n"))), "0 0");
    EXPECT_EQ(ask("5;" + put("edge.pgm", std::string("P5\n2147483640 0\n255\n"))), "2147483640 0");
    EXPECT_EQ(ask("5;" + put("tall.pgm", std::string("P5\n0 2147483647\n255\n"))), "0 0");
}

TEST_F(session, SizeQueryReplacesSlotOne) {
    start();
    std::string red = put("red.ppm", flat_ppm(16, 12, 255, 0, 0));
    std::string blue = put("blue.ppm", flat_ppm(24, 12, 0, 0, 255));
    drawn_picture d;
    ASSERT_TRUE(
        one_draw(drive({load_line(1, red), image_line(1, 1, 0, 0, 16, 12, 0, 0, 0, 0)}), &d));
    EXPECT_EQ(ask("5;" + blue), "24 16");
    ASSERT_TRUE(one_draw(drive({image_line(1, 1, 0, 0, 24, 12, 0, 0, 0, 0)}), &d));
    EXPECT_EQ(d.pixels.width, 24);
    EXPECT_TRUE(near_colour(pixel(d.pixels, 0, 0), {0, 0, 255}));
}

}  // namespace
