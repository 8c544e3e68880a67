// The program inside a real sixel terminal: Debian's xterm as a VT340 under
// Xvfb, a small host in it that loads and draws, and a screenshot read back
// as pixels. Every coloured area must sit exactly at the cell position and
// size its draw line asks for. Skips when no X server can start.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/host.h"

namespace {

constexpr int COLUMNS = 80, ROWS = 24;  // 640x361 drawable pixels in 8x16 cells
const char* const SHOT_COPY = "/tmp/vorpix-xterm-test.png";

struct rgb {
    int r, g, b;
};

// Whether a screen pixel shows `want`: sixel palettes keep flat colours
// within a few levels.
bool looks_like(rgb got, rgb want) {
    return abs(got.r - want.r) < 40 && abs(got.g - want.g) < 40 && abs(got.b - want.b) < 40;
}

const rgb RED = {255, 0, 0}, GREEN = {0, 200, 0}, BLUE = {0, 0, 255}, YELLOW = {255, 255, 0},
          MAGENTA = {255, 0, 255}, ORANGE = {255, 128, 0}, WHITE = {255, 255, 255};

bytes flat(int width, int height, rgb c) {
    bytes pixels;
    for (int k = 0; k < width * height; k++) {
        pixels.insert(pixels.end(), {static_cast<uint8_t>(c.r), static_cast<uint8_t>(c.g),
                                     static_cast<uint8_t>(c.b)});
    }
    return pixels;
}

// A screenshot as R,G,B rows.
struct screen {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;
    rgb at(int x, int y) const {
        const uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
        return {p[0], p[1], p[2]};
    }
};

bool read_png(const std::string& path, screen* out) {
    png_image image = {};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    out->width = static_cast<int>(image.width);
    out->height = static_cast<int>(image.height);
    out->pixels.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, out->pixels.data(), 0, nullptr) != 0;
}

// Starts `args` with nothing on its standard input and output, and its
// standard error in the file `errors` (or nowhere).
pid_t spawn(const std::vector<std::string>& args, int keep_fd = -1,
            const std::string& errors = "") {
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDOUT_FILENO);
        int error_fd = errors.empty() ? null_fd : open(errors.c_str(), O_WRONLY | O_CREAT, 0600);
        dup2(error_fd < 0 ? null_fd : error_fd, STDERR_FILENO);
        for (int fd = 3; fd < 256; fd++) {
            if (fd != keep_fd) close(fd);
        }
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// An X server on a display it chooses itself, so parallel runs never collide.
struct x_server {
    pid_t pid = -1;
    std::string display;
    temp_dir dir;

    // The server writes its display number and the newline in separate
    // writes once it is up; the pipe is read up to the newline, since
    // closing it earlier makes the server's second write fail, and the
    // server exit.
    bool start() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                     "-nolisten", "tcp"},
                    fds[1], dir.file("errors"));
        close(fds[1]);
        std::string number;
        char c = 0;
        for (;;) {
            ssize_t n = read(fds[0], &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (c != '\n' || number.empty()) return false;
        display = ":" + number;
        return true;
    }
    // Why the server is gone, when it is: its standard error.
    std::string failure() {
        if (pid <= 0) return "Xvfb did not start";
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) != pid) return "";
        pid = -1;
        return "the X server died: " + read_file(dir.file("errors"));
    }
    ~x_server() {
        stop(pid);
    }
};

class Xterm : public ::testing::Test {
   protected:
    temp_dir dir;
    x_server server;
    pid_t terminal = -1;

    void TearDown() override {
        stop(terminal);
    }

    // Runs `lines` through the program in xterm with the font `font` and
    // VORPIX_SIXEL_OPTIONS set to `options`, then has the host print a marker
    // where the cursor was left, and takes a screenshot.
    bool run_host(const std::vector<std::string>& lines, screen* shot, const char* font = "8x16",
                  const char* options = "") {
        std::string commands;
        for (const auto& line : lines) commands += line + "\n";
        write_file(dir.file("commands"), commands);
        std::string done = dir.file("done");
        // The text cursor is hidden while the program draws: xterm paints it
        // over a picture's cell wherever a draw leaves it, and repaints that
        // cell in its own time once it moves on.
        write_file(dir.file("host"), "#!/bin/sh\nprintf '\\033[?25l'\nVORPIX_SIXEL_LOG_DIR='" +
                                         dir.path + "' VORPIX_SIXEL_OPTIONS='" + options + "' '" +
                                         program_path() + "' < '" + dir.file("commands") + "' > '" +
                                         dir.file("replies") + "'\nprintf XYZ\ntouch '" + done +
                                         "'\nexec sleep 60\n");
        chmod(dir.file("host").c_str(), 0755);
        setenv("DISPLAY", server.display.c_str(), 1);
        terminal =
            spawn({"xterm", "-ti", "vt340", "-fn", font, "-xrm", "XTerm*numColorRegisters: 256",
                   "-xrm", "XTerm*internalBorder: 0", "-fg", "black", "-bg", "white", "-bw", "0",
                   "-geometry", std::to_string(COLUMNS) + "x" + std::to_string(ROWS) + "+0+0", "-e",
                   dir.file("host")});
        // Generous: a loaded machine may take long to start xterm.
        for (int i = 0; i < 1200 && access(done.c_str(), F_OK) != 0; i++) {
            if (waitpid(terminal, nullptr, WNOHANG) == terminal) {
                terminal = -1;  // xterm gave up (no display, say)
                return false;
            }
            usleep(50000);
        }
        if (access(done.c_str(), F_OK) != 0) return false;
        // The host is done; xterm paints in its own time: the screen is taken
        // once the marker shows and two shots in a row are the same.
        std::string png = dir.file("shot.png");
        screen previous;
        for (int i = 0; i < 50; i++) {
            usleep(200000);
            pid_t shooter =
                spawn({"/usr/bin/import", "-display", server.display, "-window", "root", png});
            int status = 0;
            waitpid(shooter, &status, 0);
            if (status != 0 || !read_png(png, shot) || !marker_shown(*shot)) continue;
            if (shot->pixels == previous.pixels) return true;
            previous = *shot;
        }
        return read_png(png, shot);
    }

    // Any black pixel: the host's text (the screen is white until then).
    static bool marker_shown(const screen& s) {
        for (int y = 0; y < s.height; y++) {
            for (int x = 0; x < s.width; x++) {
                if (looks_like(s.at(x, y), {0, 0, 0})) return true;
            }
        }
        return false;
    }
};

// How many pixels of the rectangle are (or are not) the colour `c`.
int count(const screen& s, int left, int top, int width, int height, rgb c, bool matching) {
    int n = 0;
    for (int y = top; y < top + height; y++) {
        for (int x = left; x < left + width; x++) n += looks_like(s.at(x, y), c) == matching;
    }
    return n;
}

// Checks that `c` fills exactly the rectangle left, top, width x height:
// every pixel inside, and none of the pixels just outside its four edges.
void expect_area(const screen& s, int left, int top, int width, int height, rgb c,
                 const char* what) {
    SCOPED_TRACE(what);
    EXPECT_EQ(count(s, left, top, width, height, c, false), 0) << "inside, not the colour";
    EXPECT_EQ(count(s, left, top - 1, width, 1, c, true), 0) << "the row above";
    EXPECT_EQ(count(s, left, top + height, width, 1, c, true), 0) << "the row below";
    EXPECT_EQ(count(s, left - 1, top, 1, height, c, true), 0) << "the column left";
    EXPECT_EQ(count(s, left + width, top, 1, height, c, true), 0) << "the column right";
}

TEST_F(Xterm, PicturesSitWhereTheDrawsAskInARealTerminal) {
    if (!server.start()) GTEST_SKIP() << "no X server could start: " << server.failure();

    write_png(dir.file("red.png"), 40, 32, PNG_COLOR_TYPE_RGB, 8, flat(40, 32, RED));
    write_png(dir.file("green.png"), 40, 32, PNG_COLOR_TYPE_RGB, 8, flat(40, 32, GREEN));
    write_png(dir.file("orange.png"), 60, 100, PNG_COLOR_TYPE_RGB, 8, flat(60, 100, ORANGE));
    // 300x200 in four flat quadrants, fitted into 150x150: 150x100.
    bytes quadrants;
    for (int y = 0; y < 200; y++) {
        for (int x = 0; x < 300; x++) {
            rgb c = y < 100 ? (x < 150 ? RED : GREEN) : (x < 150 ? BLUE : YELLOW);
            quadrants.insert(quadrants.end(), {static_cast<uint8_t>(c.r), static_cast<uint8_t>(c.g),
                                               static_cast<uint8_t>(c.b)});
        }
    }
    write_png(dir.file("quadrants.png"), 300, 200, PNG_COLOR_TYPE_RGB, 8, quadrants);
    // Three flat frames: blue, magenta, cyan.
    bytes palette = {0, 0, 255, 255, 0, 255, 0, 255, 255};
    std::vector<gif_frame_spec> frames;
    for (uint8_t i = 0; i < 3; i++) frames.push_back({0, 0, 32, 32, bytes(32 * 32, i), 10, 1, -1});
    write_file(dir.file("anim.gif"), make_gif(32, 32, palette, frames));

    auto load = [&](int slot, const char* name) {
        return "0;" + std::to_string(slot) + ";0;0;0;0;0;0;0;0;" + dir.file(name);
    };
    std::vector<std::string> lines = {
        load(1, "red.png"),
        load(2, "green.png"),
        load(3, "quadrants.png"),
        load(4, "anim.gif"),
        load(5, "orange.png"),
        "1;1;13;21;40;32;0;0;0;0;",      // cell column 2, row 2: x 8, y 16
        "1;2;61;21;40;32;0;0;0;0;",      // x 56, y 16
        "1;3;203;100;150;150;0;0;0;0;",  // x 200, y 96
    };
    for (int i = 0; i < 5; i++) {  // frames 0, 1, 2, 0, 1
        lines.push_back("6");
        lines.push_back("1;4;404;100;32;32;0;0;0;0;");  // x 400, y 96
    }
    // WebP: a lossy still, and an animation of red, green and blue 20x10
    // frames drawn five times.
    std::string good = std::string(VORPIX_TEST_DATA) + "/good/";
    lines.push_back("0;6;0;0;0;0;0;0;0;0;" + good + "lossy.webp");
    lines.push_back("0;7;0;0;0;0;0;0;0;0;" + good + "anim.webp");
    lines.push_back("1;6;482;17;32;24;0;0;0;0;");  // x 480, y 16
    for (int i = 0; i < 5; i++) {
        lines.push_back("6");
        lines.push_back("1;7;530;20;20;10;0;0;0;0;");  // x 528, y 16
    }
    lines.push_back("1;5;500;320;60;100;0;0;0;0;");  // x 496, y 320; 41 rows fit above 361
    screen s;
    ASSERT_TRUE(run_host(lines, &s)) << "the host in xterm did not finish. " << server.failure();
    // Kept for a look when something here fails.
    write_file(SHOT_COPY, read_file(dir.file("shot.png")));
    ASSERT_GE(s.width, COLUMNS * 8);
    ASSERT_GE(s.height, ROWS * 16);

    expect_area(s, 8, 16, 40, 32, RED, "red at cell 2,2");
    expect_area(s, 56, 16, 40, 32, GREEN, "green beside it");
    expect_area(s, 200, 96, 75, 50, RED, "fitted picture, top left quadrant");
    expect_area(s, 275, 96, 75, 50, GREEN, "top right quadrant");
    expect_area(s, 200, 146, 75, 50, BLUE, "bottom left quadrant");
    expect_area(s, 275, 146, 75, 50, YELLOW, "bottom right quadrant");
    expect_area(s, 400, 96, 32, 32, MAGENTA, "animation after five draws: frame 1");
    expect_area(s, 480, 16, 32, 24, {200, 100, 50}, "lossy WebP");
    expect_area(s, 528, 16, 20, 10, {0, 255, 0}, "WebP animation after five draws: frame 1");
    // The clipped picture ends at the drawable area's last row (360). The
    // host's marker stands at the cursor, over the picture's bottom-left cells.
    // x 496 to 555, y 320 to 360, less the marker's three cells and the text
    // cursor's cell after them at y 352.
    EXPECT_EQ(count(s, 496, 320, 60, 32, ORANGE, false), 0) << "clipped picture";
    EXPECT_EQ(count(s, 528, 352, 28, 9, ORANGE, false), 0) << "clipped picture, last rows";
    EXPECT_EQ(count(s, 496, 361, 60, 1, ORANGE, true), 0) << "below the drawable area";
    EXPECT_EQ(count(s, 495, 320, 1, 41, ORANGE, true), 0) << "left of the clipped picture";
    EXPECT_EQ(count(s, 556, 320, 1, 41, ORANGE, true), 0) << "right of the clipped picture";
    EXPECT_GT(count(s, 496, 352, 24, 16, {0, 0, 0}, true), 20)
        << "the cursor is not where the last picture left it";
    EXPECT_EQ(count(s, 600, 0, 40, 16, WHITE, false), 0) << "untouched background";
}

// A preview host, as a file manager runs one for its selected file: the size,
// one load line that carries the box, a sync; then the next file. It never
// sends a draw line, and places pictures by the terminal's real 10x20 cells.
TEST_F(Xterm, PreviewHostWithTheTerminalsOwnCells) {
    if (!server.start()) GTEST_SKIP() << "no X server could start: " << server.failure();

    write_png(dir.file("red.png"), 120, 90, PNG_COLOR_TYPE_RGB, 8, flat(120, 90, RED));
    write_png(dir.file("green.png"), 60, 40, PNG_COLOR_TYPE_RGB, 8, flat(60, 40, GREEN));
    // Cells of 10x20: the 80x24 terminal draws on 800x453 pixels.
    std::vector<std::string> lines = {
        "5;" + dir.file("red.png"),
        // Cell column 31, row 4 (x 300, y 60), a 100x100 box: 99x74.
        "0;1;305;65;100;100;;;;;" + dir.file("red.png"),
        "4;",
        "3;",
        "5;" + dir.file("green.png"),
        // Cell column 51, row 11 (x 500, y 200), a box larger than the picture.
        "0;1;500;200;200;200;;;;;" + dir.file("green.png"),
        "4;",
        "6",
    };
    screen s;
    ASSERT_TRUE(run_host(lines, &s, "10x20", "-show-on-load -terminal-cells"))
        << "the host in xterm did not finish. " << server.failure();
    write_file("/tmp/vorpix-xterm-preview-test.png", read_file(dir.file("shot.png")));
    ASSERT_GE(s.width, COLUMNS * 10);
    ASSERT_GE(s.height, ROWS * 20);
    EXPECT_EQ(read_file(dir.file("replies")), "120 100\n\n60 40\n\n");
    expect_area(s, 300, 60, 99, 74, RED, "red at cell 31,4, fitted into its box");
    // The host's marker and the text cursor stand on the picture's last row
    // of cells, where the picture left the cursor: x 500 to 539, y 220 on.
    EXPECT_EQ(count(s, 500, 200, 60, 20, GREEN, false), 0) << "green at cell 51,11";
    EXPECT_EQ(count(s, 540, 220, 20, 20, GREEN, false), 0) << "green, last row of cells";
    EXPECT_EQ(count(s, 500, 199, 60, 1, GREEN, true), 0) << "above green";
    EXPECT_EQ(count(s, 500, 240, 60, 1, GREEN, true), 0) << "below green";
    EXPECT_EQ(count(s, 499, 200, 1, 40, GREEN, true), 0) << "left of green";
    EXPECT_EQ(count(s, 560, 200, 1, 40, GREEN, true), 0) << "right of green";
    EXPECT_GT(count(s, 500, 220, 30, 20, {0, 0, 0}, true), 20)
        << "the cursor is not where the last picture left it";
}

// A transparent picture over xterm's white background, and an AVIF turned by
// its irot property. A test of its own: xterm keeps the last 16 pictures it
// was sent to paint again when its window is exposed, and on a loaded machine
// the window may first be exposed after the program has drawn.
TEST_F(Xterm, TransparencyAndTurnedAvif) {
    if (!server.start()) GTEST_SKIP() << "no X server could start: " << server.failure();
    write_png(dir.file("green.png"), 16, 16, PNG_COLOR_TYPE_RGB, 8, flat(16, 16, GREEN));

    // 40x40, transparent but for a red square of 20x20 in its middle.
    bytes holed;
    for (int y = 0; y < 40; y++) {
        for (int x = 0; x < 40; x++) {
            bool inside = x >= 10 && x < 30 && y >= 10 && y < 30;
            holed.insert(holed.end(), {255, 0, 0, static_cast<uint8_t>(inside ? 255 : 0)});
        }
    }
    write_png(dir.file("holed.png"), 40, 40, PNG_COLOR_TYPE_RGB_ALPHA, 8, holed);
    std::vector<std::string> lines = {
        "0;8;0;0;0;0;0;0;0;0;" + dir.file("holed.png"),
        "0;9;0;0;0;0;0;0;0;0;" + std::string(VORPIX_TEST_DATA) + "/good/quadrants-irot1.avif",
        "1;8;8;192;40;40;0;0;0;0;",   // x 8, y 192
        "1;9;96;192;24;32;0;0;0;0;",  // x 96, y 192
        // Last, far away: the host's marker goes where this one leaves the cursor.
        "0;10;0;0;0;0;0;0;0;0;" + dir.file("green.png"),
        "1;10;400;304;16;16;0;0;0;0;",
    };
    screen s;
    ASSERT_TRUE(run_host(lines, &s)) << "the host in xterm did not finish. " << server.failure();
    write_file("/tmp/vorpix-xterm-transparency-test.png", read_file(dir.file("shot.png")));
    ASSERT_GE(s.width, COLUMNS * 8);
    ASSERT_GE(s.height, ROWS * 16);
    // An AVIF turned a quarter anticlockwise by its irot property.
    expect_area(s, 96, 192, 12, 16, {0, 255, 0}, "AVIF turned: green at its top left");
    expect_area(s, 96, 208, 12, 16, RED, "AVIF turned: red at its bottom left");
    expect_area(s, 108, 208, 12, 16, BLUE, "AVIF turned: blue at its bottom right");
    // The transparent picture: its square red, the rest of it the white
    // background the terminal had there.
    expect_area(s, 18, 202, 20, 20, RED, "the opaque square of a transparent picture");
    EXPECT_EQ(count(s, 8, 192, 40, 10, WHITE, false), 0) << "transparent, above the square";
    EXPECT_EQ(count(s, 8, 222, 40, 10, WHITE, false), 0) << "transparent, below the square";
    EXPECT_EQ(count(s, 8, 202, 10, 20, WHITE, false), 0) << "transparent, left of the square";
    EXPECT_EQ(count(s, 38, 202, 10, 20, WHITE, false), 0) << "transparent, right of the square";
}

}  // namespace
