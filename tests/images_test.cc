// The image store: detection, load_image and its messages, and the five
// loaders on small pictures whose every pixel is known.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <lcms2.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "images/image.h"
#include "support/fixtures.h"

namespace {

// A record that frees its frames when the test ends.
struct loaded {
    image img;
    loaded() {
        image_init(&img);
    }
    ~loaded() {
        image_free_frames(&img);
    }
    // Frame i's pixels; a GIF's are decoded as a draw of that frame would.
    bytes frame(int i = 0) {
        size_t n = static_cast<size_t>(img.width) * img.height * img.channels;
        img.current_frame = i;
        const uint8_t* pixels = image_frame_pixels(&img);
        return pixels ? bytes(pixels, pixels + n) : bytes();
    }
};

// Loads `path` and checks that it holds one frame of the given size, layout
// and pixels; has_alpha must follow the channel count.
void expect_picture(const std::string& path, int width, int height, int channels,
                    const bytes& pixels) {
    loaded l;
    ASSERT_TRUE(load_image(path.c_str(), &l.img));
    EXPECT_EQ(l.img.width, width);
    EXPECT_EQ(l.img.height, height);
    EXPECT_EQ(l.img.channels, channels);
    EXPECT_EQ(l.img.has_alpha, channels == 4);
    EXPECT_EQ(l.img.frame_count, 1);
    EXPECT_EQ(l.frame(), pixels);
}

struct images : ::testing::Test {
    temp_dir dir;

    std::string put(const std::string& name, const std::string& data) {
        write_file(dir.file(name), data);
        return dir.file(name);
    }
    std::string put(const std::string& name, const bytes& data) {
        write_file(dir.file(name), data);
        return dir.file(name);
    }
};

// ---- Detection and load_image ---------------------------------------------

TEST_F(images, DetectionAndItsMessages) {
    struct {
        std::string name, data, log;
    } cases[] = {
        {"short",                                                    std::string("\xFF\xD8\xFF\xE0xyz", 7),
         "couldn't read header\n|unknown file type: %s\n|image load error: %s\n"},
        {"empty",                                                          "",                                                                                     "couldn't read header\n|unknown file type: %s\n|image load error: %s\n"                           },
        {"p7",                                                          "P7 1 1 255\n",                                                                                        "unknown file type: %s\n|image load error: %s\n"},
        {"text",                                                          "hello, world\n",                                                                                      "unknown file type: %s\n|image load error: %s\n"                       },
        {"p0",                                                          "P0 1 1 255\n",                                                                                        "image load error: %s\n"},
        {"gif",                                                          std::string("GIF89a\x01\0\0",                                                                                       9),
         "libnsgif: GIF_INSUFFICIENT_DATA\n|image load error: %s\n"},
        {"bmp", "BM\x01\x02\x03\x04\x05\x06",
         "libnsbmp: BMP_INSUFFICIENT_DATA\n|image load error: %s\n"                               },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = put(c.name, c.data);
        loaded l;
        stderr_capture log;
        EXPECT_FALSE(load_image(path.c_str(), &l.img));
        // Expected lines, "|"-separated, "%s" standing for the path.
        std::string expected, text = log.text();
        size_t start = 0;
        for (size_t bar; start <= c.log.size(); start = bar + 1) {
            bar = c.log.find('|', start);
            if (bar == std::string::npos) bar = c.log.size();
            std::string line = c.log.substr(start, bar - start);
            size_t at = line.find("%s");
            if (at != std::string::npos) line.replace(at, 2, path);
            expected += ">>ERROR<<\t" + line;
        }
        EXPECT_EQ(text, expected);
        EXPECT_EQ(l.img.frame, nullptr);
    }
}

TEST_F(images, MissingAndAbsentPaths) {
    loaded l;
    stderr_capture log;
    EXPECT_FALSE(load_image(dir.file("missing").c_str(), &l.img));
    EXPECT_FALSE(load_image(nullptr, &l.img));
    EXPECT_EQ(log.text(), ">>ERROR<<\tcouldn't open \"" + dir.file("missing") +
                              "\"\n>>ERROR<<\tfopen: No such file or directory\n"
                              ">>ERROR<<\tcouldn't open \"\"\n"
                              ">>ERROR<<\tfopen: No such file or directory\n");
}

// A load of the file the slot already holds keeps the decoded picture, which
// the test marks in memory: the mark survives a keeping load and is gone
// after a decode. A decode that logged something is never kept, so its
// warnings come again.
TEST_F(images, LoadingTheSameUnchangedFileKeepsItsDecode) {
    std::string path = put("p.ppm", std::string("P6\n2 1\n255\n") + std::string(6, '\x40'));
    std::string other = put("q.ppm", std::string("P6\n2 1\n255\n") + std::string(6, '\x40'));
    loaded l;
    stderr_capture quiet;  // a log whose place can be told (not a pipe)
    auto mark = [&] { l.img.frame[0] = 0x99; };
    auto kept = [&] { return l.img.frame[0] == 0x99; };

    ASSERT_TRUE(image_load(&l.img, path.c_str()));
    mark();
    l.img.current_frame = 0;
    l.img.drawn = true;
    ASSERT_TRUE(image_load(&l.img, path.c_str()));
    EXPECT_TRUE(kept());
    EXPECT_FALSE(l.img.drawn);

    // A new modification time of its own (a rewrite within the clock's tick
    // could keep the old one), then another file under the same name.
    mark();
    const timespec times[2] = {
        {1000000000, 5},
        {1000000000, 5}
    };
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_TRUE(image_load(&l.img, path.c_str()));
    EXPECT_FALSE(kept());
    mark();
    std::filesystem::rename(other, path);
    ASSERT_TRUE(image_load(&l.img, path.c_str()));
    EXPECT_FALSE(kept());
    // The same file under another name is another source.
    mark();
    std::string link_path = dir.file("link.ppm");
    ASSERT_EQ(link(path.c_str(), link_path.c_str()), 0);
    ASSERT_TRUE(image_load(&l.img, link_path.c_str()));
    EXPECT_FALSE(kept());
    // A file that is gone empties the slot.
    unlink(link_path.c_str());
    EXPECT_FALSE(image_load(&l.img, link_path.c_str()));
    EXPECT_FALSE(image_has_picture(&l.img));

    // A damaged file warns at every load.
    bytes rgb(64 * 64 * 3);
    for (size_t i = 0; i < rgb.size(); i++) rgb[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    write_jpeg(dir.file("whole.jpg"), 64, 64, 3, rgb);
    std::string whole = read_file(dir.file("whole.jpg"));
    std::string cut = put("cut.jpg", whole.substr(0, whole.size() - 100));
    stderr_capture log;
    ASSERT_TRUE(image_load(&l.img, cut.c_str()));
    mark();
    ASSERT_TRUE(image_load(&l.img, cut.c_str()));
    EXPECT_FALSE(kept());
    EXPECT_EQ(log.text(),
              ">>WARN<<\tlibjpeg: Premature end of JPEG file\n"
              ">>WARN<<\tlibjpeg: Premature end of JPEG file\n");
}

TEST_F(images, RejectedPnmKindLeavesChannelsMinusOne) {
    loaded l;
    stderr_capture quiet;
    EXPECT_FALSE(load_image(put("p0", std::string("P0\n1 1\n255\nabc")).c_str(), &l.img));
    EXPECT_EQ(l.img.channels, -1);
}

// ---- PNM ------------------------------------------------------------------

TEST_F(images, PnmKinds) {
    struct {
        std::string name, data;
        int width, height, channels;
        bytes pixels;
    } cases[] = {
        {"p6",                              "P6\n1 1\n255\n\x0a\x14\x1e",             1,  1, 3, {10, 20, 30}                                },
        {"p5 maxval 15",                    "P5 2 1 15\n\x0f\x08",                    2,  1, 1, {255, 136}                                  },
        {"p2",                              "P2 2 1 100 50 100",                      2,  1, 1, {127, 255}                                  },
        {"p5 above maxval",                 "P5 1 1 100\n\xc8",                       1,  1, 1, {254}                                       },
        {"p1",                              "P1 2 1\n1 0",                            2,  1, 1, {0, 255}                                    },
        {"p1 one number",                   "P1 3 1\n010",                            3,  1, 1, {0, 0, 0}                                   },
        {"p4",                              "P4 10 1\n\xc0\x40",                      10, 1, 1, {0, 0, 255, 255, 255, 255, 255, 255, 255, 0}},
        {"p4 two rows",                     "P4 3 2\n\xa0\x40",                       3,  2, 1, {0, 255, 0, 255, 0, 255}                    },
        {"comment",                         "P6\n# made by x\n1 1 255\n\x01\x02\x03", 1,  1, 3, {1, 2, 3}                                   },
        {"letters before width",            "P3 abc 2 1 255 1 2 3 4 5 6",             2,  1, 3, {1, 2, 3, 4, 5, 6}                          },
        {"x ends width",
         "P2 4x3 255\n1 2 3 4 5 6 7 8 9 10 11 12",                                    4,
         3,                                                                                  1,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}                                                                                            },
        {"ends in comment",                 "P6\n#abcd",                              0,  0, 3, {}                                          },
        {"plain comments",                  "P2 2 1 255\n# c\n7 # c\n9",              2,  1, 1, {7, 9}                                      },
        {"comments between header numbers",
         "P3 #c\n2 #c\n1 #c\n255 1 2 3 4 5 6",                                        2,
         1,                                                                                  3,
         {1, 2, 3, 4, 5, 6}                                                                                                                 },
        {"comment before a raw raster",     "P5 2#c\n1#c\n255\n\x05\x06",             2,  1, 1, {5, 6}                                      },
        {"long raster",                     "P5 1 1 255\n\x05\x06\x07",               1,  1, 1, {5}                                         },
        {"short raster",                    "P6 2 1 255\n\x05",                       2,  1, 3, {5, 0, 0, 0, 0, 0}                          },
        {"missing height",                  "P2 5   \n",                              5,  0, 1, {}                                          },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        expect_picture(put("pic", c.data), c.width, c.height, c.channels, c.pixels);
    }
}

TEST_F(images, PnmRefusesWhatItCannotRepresent) {
    struct {
        std::string name, data;
    } cases[] = {
        {"maxval 0",              "P5 1 1 0\n\x05"            },
        {"maxval missing",        "P5 1 1 #\n\x05"            },
        {"width beyond 31 bits",  "P5 99999999999 1 255\n\x05"},
        {"maxval beyond 31 bits", "P2 1 1 2147483648 1"       },
        {"sample beyond 31 bits", "P2 1 1 255 4294967296"     },
        {"huge picture",          "P6 65535 65535 255\n"      },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loaded l;
        stderr_capture log;
        EXPECT_FALSE(load_image(put("pic", c.data).c_str(), &l.img));
        EXPECT_EQ(l.img.frame, nullptr);
        EXPECT_NE(log.text().find("image load error"), std::string::npos);
    }
}

// ---- PNG ------------------------------------------------------------------

TEST_F(images, PngLoadsAsEightBitRgbOrRgba) {
    struct {
        std::string name;
        int color_type, bit_depth;
        bytes raw, palette;
        int channels;
        bytes expected;
    } cases[] = {
        {"rgb",                  PNG_COLOR_TYPE_RGB,  8,  {1, 2, 3, 4, 5, 6}, {}, 3, {1, 2, 3, 4, 5, 6}                 },
        {"rgba keeps its alpha",
         PNG_COLOR_TYPE_RGB_ALPHA,                    8,
         {10, 20, 30, 0, 40, 50, 60, 128},
         {},
         4,                                                                          {10, 20, 30, 0, 40, 50, 60, 128}   },
        {"grey and alpha",
         PNG_COLOR_TYPE_GRAY_ALPHA,                   8,
         {77, 0, 200, 255},
         {},
         4,                                                                          {77, 77, 77, 0, 200, 200, 200, 255}},
        {"palette",
         PNG_COLOR_TYPE_PALETTE,                      8,
         {1, 0},
         {9, 8, 7, 200, 100, 50},
         3,                                                                          {200, 100, 50, 9, 8, 7}            },
        {"1-bit grey",           PNG_COLOR_TYPE_GRAY, 1,  {0x80},             {}, 3, {255, 255, 255, 0, 0, 0}           },
        {"16-bit rgb",
         PNG_COLOR_TYPE_RGB,                          16,
         {0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0, 0, 0, 0, 0xff, 0xff},
         {},
         3,                                                                          {0x12, 0x56, 0x9a, 0, 0, 0xff}     },
        {"grey",                 PNG_COLOR_TYPE_GRAY, 8,  {77, 200},          {}, 3, {77, 77, 77, 200, 200, 200}        },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        write_png(dir.file("p.png"), 2, 1, c.color_type, c.bit_depth, c.raw, c.palette);
        expect_picture(dir.file("p.png"), 2, 1, c.channels, c.expected);
    }
}

TEST_F(images, TruncatedPngFailsAndLeavesTheRecordUntouched) {
    bytes rgb(64 * 64 * 3, 90);
    write_png(dir.file("whole.png"), 64, 64, PNG_COLOR_TYPE_RGB, 8, rgb);
    std::string whole = read_file(dir.file("whole.png"));
    // Cut after its last row (in the last chunk's checksum): every row is
    // there, and nothing after the rows is read.
    expect_picture(put("end.png", whole.substr(0, whole.size() - 13)), 64, 64, 3, rgb);
    for (size_t cut : {size_t{20}, whole.size() / 2}) {
        SCOPED_TRACE(cut);
        loaded l;
        stderr_capture log;
        EXPECT_FALSE(load_image(put("cut.png", whole.substr(0, cut)).c_str(), &l.img));
        EXPECT_EQ(l.img.width, 0);
        EXPECT_EQ(l.img.frame, nullptr);
        EXPECT_EQ(log.text().rfind(">>ERROR<<\tlibpng: ", 0), 0u) << log.text();
    }
}

// ---- Orientation and colour profiles -------------------------------------------

// A PNG file with a chunk added right after its header.
std::string with_png_chunk(const std::string& png, const char* type, const std::string& data) {
    std::string body = std::string(type, 4) + data;
    uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    auto be32 = [](uint32_t v) {
        return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 8), static_cast<char>(v)};
    };
    size_t after_header = 8 + 25;
    return png.substr(0, after_header) + be32(static_cast<uint32_t>(data.size())) + body +
           be32(crc) + png.substr(after_header);
}

// A JPEG file with an APPn marker (`code` 0xE0 + n) added right after SOI.
std::string with_jpeg_marker(const std::string& jpeg, uint8_t code, const std::string& payload) {
    size_t length = payload.size() + 2;
    std::string marker = std::string(1, '\xFF') + static_cast<char>(code) +
                         static_cast<char>(length >> 8) + static_cast<char>(length & 0xFF);
    return jpeg.substr(0, 2) + marker + payload + jpeg.substr(2);
}

// A profile's bytes; the profile is closed.
std::string profile_bytes(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    std::string data(size, '\0');
    cmsSaveProfileToMem(profile, data.data(), &size);
    cmsCloseProfile(profile);
    return data;
}

// A TIFF block (little-endian) whose one IFD entry is the orientation tag.
std::string exif_block(int orientation) {
    std::string b = "II*";
    b += '\0';
    b += std::string("\x08\0\0\0", 4);      // the first IFD at 8
    b += std::string("\x01\0", 2);          // one entry
    b += std::string("\x12\x01\x03\0", 4);  // tag 274, SHORT
    b += std::string("\x01\0\0\0", 4);      // one of it
    b += static_cast<char>(orientation);
    b += std::string("\0\0\0", 3);
    b += std::string(4, '\0');  // no next IFD
    return b;
}

// A 3x2 picture of six colours, so that every turn and mirror is told apart.
const uint8_t SIX[6][3] = {
    {255, 0,   0  },
    {0,   255, 0  },
    {0,   0,   255},
    {255, 255, 0  },
    {0,   255, 255},
    {255, 0,   255}
};

TEST_F(images, ExifOrientationTurnsThePicture) {
    bytes pixels;
    for (const auto& c : SIX) pixels.insert(pixels.end(), c, c + 3);
    write_png(dir.file("six.png"), 3, 2, PNG_COLOR_TYPE_RGB, 8, pixels);
    std::string png = read_file(dir.file("six.png"));
    // For each orientation, the stored pixel (index into SIX) shown at each
    // place of the turned picture, row by row.
    struct {
        int orientation, width, height;
        std::vector<int> shown;
    } cases[] = {
        {1, 3, 2, {0, 1, 2, 3, 4, 5}},
        {2, 3, 2, {2, 1, 0, 5, 4, 3}},
        {3, 3, 2, {5, 4, 3, 2, 1, 0}},
        {4, 3, 2, {3, 4, 5, 0, 1, 2}},
        {5, 2, 3, {0, 3, 1, 4, 2, 5}},
        {6, 2, 3, {3, 0, 4, 1, 5, 2}},
        {7, 2, 3, {5, 2, 4, 1, 3, 0}},
        {8, 2, 3, {2, 5, 1, 4, 0, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.orientation);
        bytes want;
        for (int k : c.shown) want.insert(want.end(), SIX[k], SIX[k] + 3);
        std::string path = put("o.png", with_png_chunk(png, "eXIf", exif_block(c.orientation)));
        expect_picture(path, c.width, c.height, 3, want);
    }
    // A JPEG's APP1 block turns it too (6: a quarter clockwise).
    bytes wide(32 * 16 * 3);
    for (int k = 0; k < 32 * 16; k++) {
        const uint8_t* c = SIX[k % 32 < 16 ? 0 : 2];
        std::copy(c, c + 3, wide.begin() + k * 3);
    }
    write_jpeg(dir.file("w.jpg"), 32, 16, 3, wide);
    std::string jpeg = read_file(dir.file("w.jpg"));
    std::string app1 = "Exif" + std::string(2, '\0') + exif_block(6);
    loaded turned;
    ASSERT_TRUE(load_image(put("t.jpg", with_jpeg_marker(jpeg, 0xE1, app1)).c_str(), &turned.img));
    EXPECT_EQ(turned.img.width, 16);
    EXPECT_EQ(turned.img.height, 32);
    bytes f = turned.frame();
    EXPECT_GT(f[(2 * 16 + 8) * 3], 200);       // red (the left) now on top
    EXPECT_GT(f[(29 * 16 + 8) * 3 + 2], 200);  // blue at the bottom
}

// EXIF blocks that are cut short or point outside themselves are ignored
// with a warning: the picture loads as it is stored.
TEST_F(images, MalformedExifIsIgnoredWithAWarning) {
    bytes pixels;
    for (const auto& c : SIX) pixels.insert(pixels.end(), c, c + 3);
    write_png(dir.file("six.png"), 3, 2, PNG_COLOR_TYPE_RGB, 8, pixels);
    std::string png = read_file(dir.file("six.png"));
    std::string far = exif_block(6);
    far[4] = '\x7f';                                // the first IFD far outside
    std::string cut = exif_block(6).substr(0, 14);  // its entry cut short
    std::string odd = exif_block(9);
    for (const std::string& block : {far, cut, odd, std::string("II*")}) {
        stderr_capture log;
        expect_picture(put("m.png", with_png_chunk(png, "eXIf", block)), 3, 2, 3, pixels);
        EXPECT_EQ(log.text().rfind(">>WARN<<\tEXIF: ", 0), 0u) << log.text();
    }
}

// An embedded profile whose red and blue primaries are swapped: a red pixel
// is blue in sRGB. An sRGB profile, or none, keeps every byte; a broken one is
// ignored with a warning.
TEST_F(images, ColourProfilesConvertToSrgb) {
    cmsCIExyY white = {0.3127, 0.3290, 1.0};
    cmsCIExyYTRIPLE swapped = {
        {0.15, 0.06, 1.0},
        {0.30, 0.60, 1.0},
        {0.64, 0.33, 1.0}
    };
    cmsToneCurve* linear = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {linear, linear, linear};
    std::string bgr = profile_bytes(cmsCreateRGBProfile(&white, &swapped, curves));
    cmsFreeToneCurve(linear);
    std::string srgb = profile_bytes(cmsCreate_sRGBProfile());

    bytes pixels = {255, 0, 0, 40, 90, 200};
    write_png(dir.file("p.png"), 2, 1, PNG_COLOR_TYPE_RGB, 8, pixels);
    std::string png = read_file(dir.file("p.png"));
    auto iccp = [](const std::string& profile) {
        uLongf size = compressBound(static_cast<uLong>(profile.size()));
        std::string packed(size, '\0');
        compress(reinterpret_cast<Bytef*>(packed.data()), &size,
                 reinterpret_cast<const Bytef*>(profile.data()),
                 static_cast<uLong>(profile.size()));
        packed.resize(size);
        return std::string("test", 4) + std::string(2, '\0') + packed;  // name, NUL, method 0
    };
    loaded converted;
    ASSERT_TRUE(
        load_image(put("bgr.png", with_png_chunk(png, "iCCP", iccp(bgr))).c_str(), &converted.img));
    bytes f = converted.frame();
    EXPECT_LT(f[0], 60);   // no longer red...
    EXPECT_GT(f[2], 200);  // ...but blue
    expect_picture(put("srgb.png", with_png_chunk(png, "iCCP", iccp(srgb))), 2, 1, 3, pixels);
    stderr_capture log;
    // The tags' data, past the header and the tag table that libpng checks.
    std::string broken = bgr;
    size_t tags = static_cast<uint8_t>(broken[131]);
    for (size_t k = 132 + 12 * tags; k < broken.size(); k++) broken[k] = static_cast<char>(k * 7);
    expect_picture(put("broken.png", with_png_chunk(png, "iCCP", iccp(broken))), 2, 1, 3, pixels);
    EXPECT_NE(log.text().find(">>WARN<<\tlcms2: "), std::string::npos) << log.text();
}

// ---- JPEG -----------------------------------------------------------------

TEST_F(images, JpegGreyAndProgressive) {
    bytes grey(16 * 8);
    for (size_t i = 0; i < grey.size(); i++) grey[i] = i < 64 ? 40 : 210;
    write_jpeg(dir.file("g.jpg"), 16, 8, 1, grey);
    loaded g;
    ASSERT_TRUE(load_image(dir.file("g.jpg").c_str(), &g.img));
    EXPECT_EQ(g.img.channels, 3);
    bytes pixels = g.frame();
    for (size_t k = 0; k < 16 * 8; k++) {
        EXPECT_EQ(pixels[k * 3], pixels[k * 3 + 1]);
        EXPECT_EQ(pixels[k * 3], pixels[k * 3 + 2]);
        EXPECT_NEAR(pixels[k * 3], grey[k], 6);
    }

    bytes rgb(40 * 24 * 3);
    for (size_t k = 0; k < 40 * 24; k++) {
        rgb[k * 3] = 200, rgb[k * 3 + 1] = 30, rgb[k * 3 + 2] = 90;
    }
    write_jpeg(dir.file("p.jpg"), 40, 24, 3, rgb, true);
    loaded p;
    ASSERT_TRUE(load_image(dir.file("p.jpg").c_str(), &p.img));
    EXPECT_EQ(p.img.width, 40);
    EXPECT_EQ(p.img.height, 24);
    bytes out = p.frame();
    for (size_t i = 0; i < out.size(); i++) EXPECT_NEAR(out[i], rgb[i], 4) << i;
}

TEST_F(images, JpegFailuresAndWarnings) {
    bytes rgb(128 * 128 * 3);
    for (size_t i = 0; i < rgb.size(); i++) rgb[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
    write_jpeg(dir.file("whole.jpg"), 128, 128, 3, rgb);
    std::string whole = read_file(dir.file("whole.jpg"));

    // Cut inside the entropy-coded data: the library warns (once) and fills.
    loaded cut;
    stderr_capture log;
    EXPECT_TRUE(load_image(put("cut.jpg", whole.substr(0, whole.size() - 200)).c_str(), &cut.img));
    EXPECT_EQ(log.text(), ">>WARN<<\tlibjpeg: Premature end of JPEG file\n");

    // Cut inside the header: nothing is known yet, the record stays empty.
    loaded header;
    stderr_capture log2;
    EXPECT_FALSE(load_image(put("head.jpg", whole.substr(0, 100)).c_str(), &header.img));
    EXPECT_EQ(header.img.width, 0);
    EXPECT_NE(log2.text().find(">>ERROR<<\tlibjpeg: "), std::string::npos);

    // Not JPEG data after the magic number: the library's error, then ours.
    loaded garbage;
    stderr_capture log3;
    std::string path = put("garbage.jpg", std::string("\xFF\xD8garbage-garbage"));
    EXPECT_FALSE(load_image(path.c_str(), &garbage.img));
    std::string text = log3.text();
    EXPECT_NE(text.find(">>ERROR<<\tlibjpeg: "), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with(">>ERROR<<\timage load error: " + path + "\n")) << text;
}

// Print and stock photographs: Adobe's CMYK stores the inks inverted.
TEST_F(images, CmykAndYcckJpegsBecomeRgb) {
    struct {
        const char* name;
        bytes stored, rgb;
    } colours[] = {
        {"red",       {255, 0, 0, 255},     {255, 0, 0}    },
        {"dark blue", {0, 0, 255, 128},     {0, 0, 128}    },
        {"grey",      {255, 255, 255, 100}, {100, 100, 100}},
    };
    for (bool ycck : {false, true}) {
        for (const auto& c : colours) {
            SCOPED_TRACE(std::string(c.name) + (ycck ? " YCCK" : " CMYK"));
            bytes cmyk;
            for (int k = 0; k < 16 * 16; k++)
                cmyk.insert(cmyk.end(), c.stored.begin(), c.stored.end());
            write_jpeg(dir.file("c.jpg"), 16, 16, 4, cmyk, false, 100, ycck);
            loaded l;
            stderr_capture log;
            ASSERT_TRUE(load_image(dir.file("c.jpg").c_str(), &l.img));
            EXPECT_EQ(log.text(), "");
            EXPECT_EQ(l.img.channels, 3);
            bytes out = l.frame();
            for (size_t k = 0; k < out.size(); k++) ASSERT_NEAR(out[k], c.rgb[k % 3], 3) << k;
        }
    }
}

// A print profile: every ink mix it describes is the same red (Lab 53, 80,
// 67), which the plain CMYK formula would never give for grey inks.
cmsInt32Number always_red(const cmsUInt16Number[], cmsUInt16Number out[], void*) {
    cmsCIELab lab = {53.2, 80.1, 67.2};
    cmsFloat2LabEncoded(out, &lab);
    return TRUE;
}

std::string red_print_profile() {
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, 2.1);
    cmsSetDeviceClass(profile, cmsSigOutputClass);
    cmsSetColorSpace(profile, cmsSigCmykData);
    cmsSetPCS(profile, cmsSigLabData);
    cmsPipeline* pipeline = cmsPipelineAlloc(nullptr, 4, 3);
    cmsStage* table = cmsStageAllocCLut16bit(nullptr, 2, 4, 3, nullptr);
    cmsStageSampleCLut16bit(table, always_red, nullptr, 0);
    // A version 2 lut16: curves, the table, curves.
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 4, nullptr));
    cmsPipelineInsertStage(pipeline, cmsAT_END, table);
    cmsPipelineInsertStage(pipeline, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, pipeline);
    cmsPipelineFree(pipeline);
    return profile_bytes(profile);
}

// A CMYK JPEG with a print profile goes through it, not the plain formula.
TEST_F(images, CmykJpegWithAProfileUsesIt) {
    bytes cmyk;
    for (int k = 0; k < 16 * 16; k++) cmyk.insert(cmyk.end(), {255, 255, 255, 100});  // grey
    write_jpeg(dir.file("c.jpg"), 16, 16, 4, cmyk, false, 100);
    std::string jpeg = read_file(dir.file("c.jpg"));
    std::string app2 = std::string("ICC_PROFILE", 12) + '\x01' + '\x01' + red_print_profile();
    loaded l;
    ASSERT_TRUE(load_image(put("p.jpg", with_jpeg_marker(jpeg, 0xE2, app2)).c_str(), &l.img));
    bytes out = l.frame();
    EXPECT_GT(out[0], 200);
    EXPECT_LT(out[1], 60);
    EXPECT_LT(out[2], 60);
}

// A picture whose every row was read is shown even when what follows its
// rows is damaged; one damaged before its last row is not.
TEST_F(images, JpegDamagedAfterItsRowsLoads) {
    bytes rgb(32 * 16 * 3, 77);
    write_jpeg(dir.file("whole.jpg"), 32, 16, 3, rgb);
    std::string whole = read_file(dir.file("whole.jpg"));
    ASSERT_TRUE(whole.ends_with("\xFF\xD9"));
    // A second frame header after the scan, where only the end may stand.
    std::string damaged =
        whole.substr(0, whole.size() - 2) + std::string("\xFF\xC0\x00\x03\x00", 5);
    loaded l;
    stderr_capture log;
    ASSERT_TRUE(load_image(put("damaged.jpg", damaged).c_str(), &l.img));
    EXPECT_NE(log.text().find(">>ERROR<<\tlibjpeg: "), std::string::npos) << log.text();
    EXPECT_EQ(log.text().find("image load error"), std::string::npos);
    EXPECT_EQ(l.img.width, 32);
    bytes out = l.frame();
    for (size_t k = 0; k < out.size(); k++) ASSERT_NEAR(out[k], 77, 3) << k;
}

// ---- BMP ------------------------------------------------------------------

TEST_F(images, BmpDepthsAndRowOrder) {
    const bytes palette = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30};
    const bytes indexes = {0, 1, 2, 3, 3, 2, 1, 0};  // 4 x 2
    bytes expected;
    for (uint8_t i : indexes) {
        expected.insert(expected.end(),
                        {palette[i * 3], palette[i * 3 + 1], palette[i * 3 + 2], 255});
    }
    bytes rgb, rgba;
    for (uint8_t i : indexes) {
        rgb.insert(rgb.end(), {palette[i * 3], palette[i * 3 + 1], palette[i * 3 + 2]});
        rgba.insert(rgba.end(), {palette[i * 3], palette[i * 3 + 1], palette[i * 3 + 2], 255});
    }
    bytes two_colour = {0, 1, 1, 0, 1, 0, 0, 1};
    bytes two_expected;
    for (uint8_t i : two_colour) {
        two_expected.insert(two_expected.end(),
                            {palette[i * 3], palette[i * 3 + 1], palette[i * 3 + 2], 255});
    }
    struct {
        std::string name;
        int bpp;
        bytes pixels, palette, expected;
    } cases[] = {
        {"1-bit", 1, two_colour, bytes(palette.begin(), palette.begin() + 6), two_expected},
        {"4-bit",       4,  indexes,     palette,                  expected                          },
        {"8-bit",       8,  indexes,     palette,                  expected},
        {"24-bit",       24, rgb,   {},                     expected                                    },
        {"32-bit",       32, rgba,   {},                    expected},
    };
    for (const auto& c : cases) {
        for (bool top_down : {false, true}) {
            SCOPED_TRACE(c.name + (top_down ? " top-down" : " bottom-up"));
            write_bmp(dir.file("b.bmp"), 4, 2, c.bpp, c.pixels, c.palette, top_down);
            expect_picture(dir.file("b.bmp"), 4, 2, 4, c.expected);
        }
    }
}

// As a browser does, a BMP cut short shows the rows it has; the others stay
// transparent. A file cut inside its headers has nothing to show.
TEST_F(images, BmpCutShortShowsTheRowsItHas) {
    bytes rgb(32 * 32 * 3, 7);
    write_bmp(dir.file("b.bmp"), 32, 32, 24, rgb);  // bottom-up: the last rows come first
    std::string whole = read_file(dir.file("b.bmp"));
    loaded l;
    stderr_capture log;
    ASSERT_TRUE(load_image(put("cut.bmp", whole.substr(0, 54 + 96 * 10)).c_str(), &l.img));
    EXPECT_EQ(log.text(), ">>WARN<<\tlibnsbmp: BMP_INSUFFICIENT_DATA\n");
    ASSERT_EQ(l.img.width, 32);
    bytes frame = l.frame();
    EXPECT_EQ(frame[(31 * 32) * 4], 7);      // the bottom row was in the file
    EXPECT_EQ(frame[(22 * 32) * 4], 7);      // and the tenth from the bottom
    EXPECT_EQ(frame[(21 * 32) * 4 + 3], 0);  // the rest is transparent
    EXPECT_EQ(frame[0 * 4 + 3], 0);

    loaded none;
    EXPECT_FALSE(load_image(put("head.bmp", whole.substr(0, 30)).c_str(), &none.img));
    EXPECT_EQ(none.img.frame, nullptr);
}

// ---- GIF ------------------------------------------------------------------

const bytes GIF_PALETTE = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};

bytes pixel_at(loaded& l, int frame, int x, int y) {
    bytes f = l.frame(frame);
    size_t k = (static_cast<size_t>(y) * l.img.width + x) * 4;
    return bytes(f.begin() + static_cast<long>(k), f.begin() + static_cast<long>(k + 4));
}

TEST_F(images, GifAnimationIsComposedFrameByFrame) {
    std::vector<gif_frame_spec> frames = {
        {0, 0, 4, 2, bytes(8, 1), 10,     1,  -1}, // all red, kept
        {1, 0,  2,  1, {2, 0},      20,  2, 0}, // green over (1,0); (2,0) transparent; then cleared
        {0, 1,  1,  1, {3},      30,     1,    -1}, // blue at (0,1)
    };
    std::string path = put("a.gif", make_gif(4, 2, GIF_PALETTE, frames, 5));
    loaded l;
    ASSERT_TRUE(load_image(path.c_str(), &l.img));
    EXPECT_EQ(l.img.width, 4);
    EXPECT_EQ(l.img.height, 2);
    EXPECT_EQ(l.img.channels, 4);
    EXPECT_TRUE(l.img.has_alpha);
    ASSERT_EQ(l.img.frame_count, 3);
    const bytes red = {255, 0, 0, 255}, green = {0, 255, 0, 255}, blue = {0, 0, 255, 255};
    EXPECT_EQ(l.frame(0), [&] {
        bytes all;
        for (int i = 0; i < 8; i++) all.insert(all.end(), red.begin(), red.end());
        return all;
    }());
    EXPECT_EQ(pixel_at(l, 1, 1, 0), green);
    EXPECT_EQ(pixel_at(l, 1, 2, 0), red);  // transparent: the red below shows
    EXPECT_EQ(pixel_at(l, 2, 0, 1), blue);
    EXPECT_NE(pixel_at(l, 2, 1, 0), green);  // frame 1 was disposed of
    EXPECT_EQ(pixel_at(l, 2, 3, 1), red);
    EXPECT_EQ(l.frame(3), bytes());
    // Frames come out the same in any order asked: the decoder replays from
    // the first frame when it must.
    EXPECT_EQ(pixel_at(l, 1, 1, 0), green);
    EXPECT_EQ(pixel_at(l, 0, 1, 0), red);
    EXPECT_EQ(pixel_at(l, 2, 0, 1), blue);
}

TEST_F(images, GifKeepsAtMost127Frames) {
    std::vector<gif_frame_spec> frames;
    for (int i = 0; i < 130; i++)
        frames.push_back({0, 0, 2, 2, bytes(4, static_cast<uint8_t>(i % 4)), 1, 1, -1});
    loaded l;
    ASSERT_TRUE(load_image(put("many.gif", make_gif(2, 2, GIF_PALETTE, frames)).c_str(), &l.img));
    EXPECT_EQ(l.img.frame_count, GIF_FRAME_LIMIT);
    EXPECT_EQ(l.frame(127), bytes());
    EXPECT_EQ(pixel_at(l, 126, 0, 0), (bytes{0, 255, 0, 255}));  // colour 126 % 4 == 2
}

// Frames are decoded one at a time onto one canvas: a large canvas shows
// every frame up to the limit.
TEST_F(images, LargeGifCanvasShowsEveryFrame) {
    std::vector<gif_frame_spec> frames;
    for (int i = 0; i < 100; i++) {
        frames.push_back({i, 0, 1, 1, bytes(1, static_cast<uint8_t>(i % 4)), 1, 1, -1});
    }
    loaded l;
    ASSERT_TRUE(
        load_image(put("big.gif", make_gif(2048, 2048, GIF_PALETTE, frames)).c_str(), &l.img));
    EXPECT_EQ(l.img.frame_count, 100);
    EXPECT_EQ(pixel_at(l, 99, 99, 0), (bytes{0, 0, 255, 255}));  // colour 99 % 4 == 3
}

// A damaged frame in the middle is found when it is first drawn: it shows
// what of it decoded and becomes the last frame, as a browser stops there.
TEST_F(images, DamagedGifFrameEndsTheAnimationWhenReached) {
    std::vector<gif_frame_spec> frames(4, {0, 0, 32, 32, bytes(1024, 1), 1, 1, -1});
    frames[1].indexes = bytes(1024, 2);
    bytes file = make_gif(32, 32, GIF_PALETTE, frames);
    // Frame 1's first bytes of picture data: after its image descriptor (10
    // bytes), the code size and the sub-block's length.
    size_t at = make_gif(32, 32, GIF_PALETTE, {frames[0]}).size() - 1;
    while (file[at] != 0x2C) at++;
    file[at + 12] = 0xFF;  // codes beyond the table: the decoder stops there
    loaded l;
    stderr_capture log;
    ASSERT_TRUE(load_image(put("damaged.gif", file).c_str(), &l.img));
    EXPECT_EQ(l.img.frame_count, 4);  // not known yet
    EXPECT_EQ(log.text(), "");
    EXPECT_EQ(pixel_at(l, 0, 0, 0), (bytes{255, 0, 0, 255}));
    EXPECT_EQ(l.frame(1).size(), 32u * 32 * 4);
    EXPECT_EQ(l.img.frame_count, 2);
    EXPECT_EQ(log.text(), ">>WARN<<\tlibnsgif: GIF_FRAME_DATA_ERROR\n");
    EXPECT_EQ(pixel_at(l, 0, 0, 0), (bytes{255, 0, 0, 255}));  // round again, logged once
    EXPECT_EQ(l.frame(1).size(), 32u * 32 * 4);
    EXPECT_EQ(log.text(), ">>WARN<<\tlibnsgif: GIF_FRAME_DATA_ERROR\n");
    EXPECT_EQ(l.frame(2), bytes());
}

// libnsgif refuses files of more than 4096 frames; the first 127 of a valid
// one still show.
TEST_F(images, GifOfThousandsOfFramesShowsTheFirst127) {
    std::vector<gif_frame_spec> frames;
    for (int i = 0; i < 5000; i++)
        frames.push_back({0, 0, 1, 1, bytes{static_cast<uint8_t>(i % 4)}, 1, 1, -1});
    loaded l;
    stderr_capture log;
    ASSERT_TRUE(load_image(put("5000.gif", make_gif(1, 1, GIF_PALETTE, frames)).c_str(), &l.img));
    EXPECT_EQ(l.img.frame_count, GIF_FRAME_LIMIT);
    EXPECT_EQ(pixel_at(l, 126, 0, 0), (bytes{0, 255, 0, 255}));  // colour 126 % 4 == 2
    EXPECT_EQ(log.text(), ">>WARN<<\tlibnsgif: GIF_FRAME_DATA_ERROR\n");
}

TEST_F(images, GifWithoutFramesLoadsEmpty) {
    loaded l;
    ASSERT_TRUE(load_image(put("none.gif", make_gif(5, 3, GIF_PALETTE, {}, -1)).c_str(), &l.img));
    EXPECT_EQ(l.img.frame_count, 0);
    EXPECT_EQ(l.img.frame, nullptr);
    EXPECT_EQ(l.img.channels, 4);
    EXPECT_EQ(l.img.width, 5);
    EXPECT_EQ(l.img.height, 3);
}

// A GIF cut short shows the frames before the cut and the part of the cut
// frame that decoded; one cut before its first frame fails with nothing left.
TEST_F(images, CutGifShowsWhatDecoded) {
    std::vector<gif_frame_spec> frames = {
        {0, 0, 32, 32, bytes(1024, 1), 1, 1, -1}, // red
        {0, 0, 32, 32, bytes(1024, 2), 1, 1, -1}, // green
        {0, 0, 32, 32, bytes(1024, 3), 1, 1, -1}, // blue
    };
    bytes whole = make_gif(32, 32, GIF_PALETTE, frames);
    // Where the last frame's bytes begin: the file of the first two, less its trailer.
    size_t last = make_gif(32, 32, GIF_PALETTE, {frames[0], frames[1]}).size() - 1;
    auto cut = [&](size_t size) {
        return put("cut.gif", bytes(whole.begin(), whole.begin() + static_cast<long>(size)));
    };
    {
        loaded l;
        stderr_capture log;
        ASSERT_TRUE(load_image(cut((last + whole.size()) / 2).c_str(), &l.img));
        EXPECT_EQ(log.text(), "") << "a cut frame is the decoder's to report";
        ASSERT_EQ(l.img.frame_count, 3);
        EXPECT_EQ(pixel_at(l, 0, 31, 31), (bytes{255, 0, 0, 255}));
        EXPECT_EQ(pixel_at(l, 1, 31, 31), (bytes{0, 255, 0, 255}));
        EXPECT_EQ(pixel_at(l, 2, 0, 0), (bytes{0, 0, 255, 255}));    // decoded before the cut
        EXPECT_EQ(pixel_at(l, 2, 31, 31), (bytes{0, 255, 0, 255}));  // frame 1 still shows there
        EXPECT_EQ(pixel_at(l, 0, 31, 31), (bytes{255, 0, 0, 255}));  // and round again
    }
    for (size_t size : {size_t{13}, size_t{30}}) {
        SCOPED_TRACE(size);
        loaded l;
        stderr_capture quiet;
        EXPECT_FALSE(load_image(cut(size).c_str(), &l.img));
        EXPECT_EQ(l.img.frame, nullptr);
        EXPECT_EQ(l.img.anim, nullptr);
    }
}

// ---- WebP -------------------------------------------------------------------

const std::string GOOD = std::string(VORPIX_TEST_DATA) + "/good/";

TEST_F(images, WebpStillsLossyAndLosslessWithAlpha) {
    loaded lossy;
    ASSERT_TRUE(load_image((GOOD + "lossy.webp").c_str(), &lossy.img));
    EXPECT_EQ(lossy.img.width, 32);
    EXPECT_EQ(lossy.img.height, 24);
    EXPECT_EQ(lossy.img.channels, 3);
    EXPECT_FALSE(lossy.img.has_alpha);
    bytes out = lossy.frame();
    const uint8_t colour[] = {200, 100, 50};
    for (size_t k = 0; k < out.size(); k++) ASSERT_NEAR(out[k], colour[k % 3], 6) << k;

    // Left half opaque red, right half blue at half transparency.
    loaded alpha;
    ASSERT_TRUE(load_image((GOOD + "lossless-alpha.webp").c_str(), &alpha.img));
    EXPECT_EQ(alpha.img.width, 24);
    EXPECT_EQ(alpha.img.channels, 4);
    EXPECT_TRUE(alpha.img.has_alpha);
    EXPECT_EQ(pixel_at(alpha, 0, 0, 0), (bytes{255, 0, 0, 255}));
    bytes blue = pixel_at(alpha, 0, 23, 15);
    EXPECT_EQ(blue[2], 255);
    EXPECT_NEAR(blue[3], 128, 1);
}

// The same three 20x10 frames, red, green and blue, as a WebP animation and
// an AVIF sequence: in order or not, each frame is itself.
TEST_F(images, AnimationsStepThroughTheirFrames) {
    const bytes colours[3] = {
        {255, 0,   0,   255},
        {0,   255, 0,   255},
        {0,   0,   255, 255}
    };
    for (const char* name : {"anim.webp", "anim.avif"}) {
        SCOPED_TRACE(name);
        loaded l;
        ASSERT_TRUE(load_image((GOOD + name).c_str(), &l.img));
        EXPECT_EQ(l.img.width, 20);
        EXPECT_EQ(l.img.height, 10);
        EXPECT_EQ(l.img.channels, 4);
        ASSERT_EQ(l.img.frame_count, 3);
        for (int frame : {0, 1, 2, 0, 2, 1}) {
            SCOPED_TRACE(frame);
            EXPECT_EQ(pixel_at(l, frame, 19, 9), colours[frame]);
        }
    }
}

TEST_F(images, DamagedWebpFailsCleanly) {
    std::string whole = read_file(GOOD + "anim.webp");
    std::string still = read_file(GOOD + "lossy.webp");
    struct {
        std::string name, data;
    } cases[] = {
        {"header only",     whole.substr(0,                                      12)               },
        {"cut still",       still.substr(0,                                      still.size() - 20)},
        {"not webp inside", std::string("RIFF\x10\0\0\0WEBPVP8 garbage-garbage", 31)               },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loaded l;
        stderr_capture log;
        EXPECT_FALSE(load_image(put("bad.webp", c.data).c_str(), &l.img));
        EXPECT_EQ(l.img.frame, nullptr);
        EXPECT_EQ(l.img.anim, nullptr);
        EXPECT_NE(log.text().find(">>ERROR<<\tlibwebp: "), std::string::npos) << log.text();
    }
    // A cut animation keeps the frames before the cut.
    loaded cut;
    stderr_capture quiet;
    ASSERT_TRUE(load_image(put("cut.webp", whole.substr(0, whole.size() - 10)).c_str(), &cut.img));
    EXPECT_EQ(cut.img.frame_count, 2);
    EXPECT_EQ(pixel_at(cut, 1, 19, 9), (bytes{0, 255, 0, 255}));
}

// Files that would each exhaust memory, divide by zero, overflow a size,
// spin or read outside a buffer. They must fail cleanly, except three that are
// pictures after all: the GIF's absurd screen is the decoder's to settle (it
// shrinks to its one pixel), the P4 of width 0 is an empty picture, read
// without a row loop, and the damaged RLE8 BMP shows the rows before the damage.
// ---- AVIF -------------------------------------------------------------------

// Four flat quadrants, 32x24: red, green / blue, white; lossless, so every
// pixel is known, at 8, 10 and 12 bits.
bytes quadrants(int channels, bool right_transparent = false) {
    bytes out;
    for (int y = 0; y < 24; y++) {
        for (int x = 0; x < 32; x++) {
            int q = (y / 12) * 2 + x / 16;
            const uint8_t colours[4][3] = {
                {255, 0,   0  },
                {0,   255, 0  },
                {0,   0,   255},
                {255, 255, 255}
            };
            out.insert(out.end(), colours[q], colours[q] + 3);
            if (channels == 4) out.push_back(right_transparent && x >= 16 ? 0 : 255);
        }
    }
    return out;
}

// The colour of the quadrant at the picture's corner `corner` (0 top left,
// 1 top right, 2 bottom left, 3 bottom right), read from a loaded frame.
bytes corner_colour(loaded& l, int corner) {
    int x = corner % 2 ? l.img.width - 2 : 1, y = corner / 2 ? l.img.height - 2 : 1;
    bytes f = l.frame();
    size_t k = (static_cast<size_t>(y) * l.img.width + x) * l.img.channels;
    return bytes(f.begin() + static_cast<long>(k), f.begin() + static_cast<long>(k) + 3);
}

TEST_F(images, AvifStillsAtEveryDepthWithAlphaAndTurned) {
    for (const char* name : {"quadrants.avif", "quadrants-10bit.avif", "quadrants-12bit.avif"}) {
        SCOPED_TRACE(name);
        loaded l;
        ASSERT_TRUE(load_image((GOOD + name).c_str(), &l.img));
        EXPECT_EQ(l.img.channels, 3);
        EXPECT_EQ(l.img.width, 32);
        EXPECT_EQ(l.img.height, 24);
        bytes got = l.frame(), want = quadrants(3);
        ASSERT_EQ(got.size(), want.size());
        for (size_t k = 0; k < got.size(); k++) ASSERT_NEAR(got[k], want[k], 2) << k;
    }
    loaded holed;
    ASSERT_TRUE(load_image((GOOD + "holed.avif").c_str(), &holed.img));
    EXPECT_EQ(holed.img.channels, 4);
    EXPECT_TRUE(holed.img.has_alpha);
    EXPECT_EQ(holed.frame(), quadrants(4, true));
    // irot 1 turns it a quarter anticlockwise: 24x32, the top right quadrant
    // (green) at the top left; imir 1 mirrors it left to right.
    const bytes red = {255, 0, 0}, green = {0, 255, 0}, blue = {0, 0, 255}, white = {255, 255, 255};
    struct {
        const char* name;
        int width, height;
        bytes corners[4];
    } turned[] = {
        {"quadrants-irot1.avif", 24, 32, {green, white, red, blue}},
        {"quadrants-imir1.avif", 32, 24, {green, red, white, blue}},
    };
    for (const auto& t : turned) {
        SCOPED_TRACE(t.name);
        loaded l;
        ASSERT_TRUE(load_image((GOOD + t.name).c_str(), &l.img));
        EXPECT_EQ(l.img.width, t.width);
        EXPECT_EQ(l.img.height, t.height);
        for (int c = 0; c < 4; c++) EXPECT_EQ(corner_colour(l, c), t.corners[c]) << c;
    }
}

TEST_F(images, DamagedAvifFailsCleanly) {
    std::string whole = read_file(GOOD + "quadrants.avif");
    for (size_t size : {size_t{16}, size_t{40}, whole.size() / 2, whole.size() - 5}) {
        SCOPED_TRACE(size);
        loaded l;
        stderr_capture log;
        EXPECT_FALSE(load_image(put("cut.avif", whole.substr(0, size)).c_str(), &l.img));
        EXPECT_EQ(l.img.frame, nullptr);
        EXPECT_NE(log.text().find("image load error"), std::string::npos) << log.text();
    }
    // libavif checks every frame's data when it parses: a sequence cut
    // inside its last frame is refused whole.
    std::string anim = read_file(GOOD + "anim.avif");
    loaded cut;
    stderr_capture log;
    EXPECT_FALSE(
        load_image(put("cut-anim.avif", anim.substr(0, anim.size() - 20)).c_str(), &cut.img));
    EXPECT_EQ(cut.img.anim, nullptr);
}

TEST(BadFiles, LoadWithoutHarm) {
    std::string folder = std::string(VORPIX_TEST_DATA) + "/bad";
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename();
        SCOPED_TRACE(name);
        loaded l;
        stderr_capture log;
        bool ok = load_image(entry.path().c_str(), &l.img);
        EXPECT_EQ(ok, name == "gif-huge-screen.gif" || name == "pnm-p4-empty-rows-spin.pbm" ||
                          name == "bmp-rle8-reads-past-the-end.bmp" ||
                          name == "jpeg-repeated-scans.jpg" ||
                          name == "png-trailing-deflated-zeros.png" ||
                          name == "png-exif-offsets-outside.png");
        if (name == "jpeg-repeated-scans.jpg") {
            EXPECT_NE(log.text().find(">>WARN<<\tlibjpeg: more scans than a picture needs"),
                      std::string::npos);
        }
        if (!ok) {
            EXPECT_EQ(l.img.frame, nullptr);
            EXPECT_TRUE(log.text().ends_with("image load error: " + entry.path().string() + "\n"));
        }
        seen++;
    }
    EXPECT_GE(seen, 8);
}

TEST_F(images, ReadWholeFileReadsExactly) {
    std::string path = put("data", std::string("abc\0def", 7));
    FILE* file = fopen(path.c_str(), "r");
    fgetc(file);  // any position
    uint64_t size = 0;
    uint8_t* data = read_whole_file(file, 100, &size);
    fclose(file);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 7), std::string("abc\0def", 7));
    free(data);
}

}  // namespace
