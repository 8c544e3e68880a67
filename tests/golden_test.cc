// The bytes a draw writes to the terminal, recorded once and kept as test
// data: every later version of the draw path (caches, other buffers, a faster
// downscaler) must write the same bytes for the same picture and draw line.
// Each case runs the real program in a pseudo-terminal and compares what each
// line wrote, byte for byte, with tests/data/golden/<case>.tty.
//
// To record again on purpose (a change of what a draw shows), run the test
// with VORPIX_RECORD_GOLDEN=1 and say in the commit what changed and why.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/host.h"

namespace {

const std::string DATA = std::string(VORPIX_TEST_DATA) + "/golden/";

struct picture {
    const char* file;
    int width, height;
};

// Every loader and channel count: RGB JPEG, grey P5, plain P3, P4 bitmap,
// palette PNG, RGBA PNG (read as RGB), 32-bit BMP (RGBA) and a GIF.
const picture PICTURES[] = {
    {"photo.jpg",   240, 160},
    {"grey.pgm",    120, 90 },
    {"colour.ppm",  48,  36 },
    {"bitmap.pbm",  64,  48 },
    {"palette.png", 130, 70 },
    {"rgba.png",    110, 80 },
    {"alpha.bmp",   100, 75 },
};

std::string size_text(const picture& p) {
    return std::to_string(p.width) + ";" + std::to_string(p.height);
}

// What a host sends for one picture in slot 3: its own size at a position off
// the cell grid, the same draw without and with a command 6, a fitted box and
// windows of it as a scrolling host sends, clipping by the terminal's right
// and bottom edges, a box larger than the picture, and the same draws after
// the terminal shrank and grew back.
std::vector<std::string> still_steps(const picture& p) {
    std::string load = "0;3;0;0;0;0;0;0;0;0;" + DATA + p.file;
    std::string own = "1;3;13;21;" + size_text(p) + ";0;0;0;0;";
    std::string fit = "1;3;100;50;50;40;0;0;0;0;";
    return {load,
            own,
            own,
            "6",
            own,
            "6",
            fit,
            "6",
            fit,
            "6",
            "1;3;100;50;50;40;5;3;30;20;",
            "6",
            "1;3;100;50;50;40;12;9;0;0;",
            "6",
            "1;3;100;50;50;40;0;0;0;0;",
            "6",
            "1;3;40;30;77;61;0;0;0;0;",
            "6",
            "1;3;600;330;" + size_text(p) + ";0;0;0;0;",
            "6",
            "1;3;0;0;1000;1000;0;0;0;0;",
            "resize 30 8",
            "6",
            fit,
            "6",
            "1;3;200;80;" + size_text(p) + ";0;0;0;0;",
            "resize 80 24",
            "6",
            "1;3;200;80;" + size_text(p) + ";0;0;0;0;",
            "6",
            own};
}

struct golden_case {
    std::string name;
    std::vector<std::string> steps;
};

std::vector<golden_case> all_cases() {
    std::vector<golden_case> cases;
    for (const auto& p : PICTURES) {
        std::string name = p.file;
        name[name.find('.')] = '_';
        cases.push_back({name, still_steps(p)});
    }
    std::string gif = DATA + "anim.gif";
    std::vector<std::string> anim = {"0;2;0;0;0;0;0;0;0;0;" + gif};
    // Two passes over the three frames at own size, then fitted, then a window.
    for (int i = 0; i < 7; i++) anim.insert(anim.end(), {"6", "1;2;16;32;100;70;0;0;0;0;"});
    for (int i = 0; i < 4; i++) anim.insert(anim.end(), {"6", "1;2;16;32;60;50;0;0;0;0;"});
    for (int i = 0; i < 4; i++) anim.insert(anim.end(), {"6", "1;2;16;32;60;50;10;8;30;20;"});
    cases.push_back({"anim_gif", anim});

    // Two slots drawn in turn, a new picture loaded into a slot that was drawn
    // with the same line, and a failed load in between.
    std::string a = "1;1;8;16;60;60;0;0;0;0;";
    std::string b = "1;2;300;16;60;60;0;0;0;0;";
    cases.push_back({
        "slots",
        {"0;1;0;0;0;0;0;0;0;0;" + DATA + "photo.jpg",
          "0;2;0;0;0;0;0;0;0;0;" + DATA + "palette.png",
          a, b,
          "6", b,
          a, "0;1;0;0;0;0;0;0;0;0;" + DATA + "grey.pgm",
          a, "6",
          a, "0;1;0;0;0;0;0;0;0;0;" + DATA + "missing.png",
          "6", a,
          "0;1;0;0;0;0;0;0;0;0;" + DATA + "photo.jpg",
          a, "6",
          "5;" + DATA + "alpha.bmp",
          "1;1;8;16;60;60;0;0;0;0;", a}
    });
    return cases;
}

// The recorded file: for each step, "#<length>\n" and that many bytes.
std::string encode_steps(const std::vector<std::string>& outputs) {
    std::string text;
    for (const auto& out : outputs) text += "#" + std::to_string(out.size()) + "\n" + out;
    return text;
}

std::vector<std::string> decode_steps(const std::string& text) {
    std::vector<std::string> outputs;
    size_t at = 0;
    while (at < text.size() && text[at] == '#') {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        size_t length = std::stoul(text.substr(at + 1, end - at - 1));
        outputs.push_back(text.substr(end + 1, length));
        at = end + 1 + length;
    }
    return outputs;
}

class Golden : public ::testing::TestWithParam<golden_case> {};

TEST_P(Golden, TerminalBytesAreUnchanged) {
    const golden_case& c = GetParam();
    host_process p;
    ASSERT_TRUE(host_start(&p, {}, 80, 24));
    std::vector<std::string> outputs;
    for (const auto& step : c.steps) {
        if (step.rfind("resize ", 0) == 0) {
            int columns = 0, rows = 0;
            ASSERT_EQ(sscanf(step.c_str(), "resize %d %d", &columns, &rows), 2);
            host_resize(&p, columns, rows);
            continue;
        }
        host_send(&p, step);
        if (step[0] == '5') {
            std::string reply;
            ASSERT_TRUE(host_read_reply(&p, &reply)) << step;
        }
        ASSERT_TRUE(host_sync(&p)) << step;
        outputs.push_back(host_take_tty(&p));
    }
    EXPECT_EQ(host_finish(&p), 0);

    std::string path = DATA + c.name + ".tty";
    if (getenv("VORPIX_RECORD_GOLDEN")) {
        write_file(path, encode_steps(outputs));
        return;
    }
    std::vector<std::string> expected = decode_steps(read_file(path));
    ASSERT_EQ(expected.size(), outputs.size()) << path;
    size_t k = 0;
    for (const auto& step : c.steps) {
        if (step.rfind("resize ", 0) == 0) continue;
        SCOPED_TRACE("step " + std::to_string(k) + ": " + step);
        const std::string& want = expected[k];
        const std::string& got = outputs[k];
        if (want != got) {
            size_t first = 0;
            while (first < want.size() && first < got.size() && want[first] == got[first]) first++;
            ADD_FAILURE() << "terminal bytes differ: " << got.size() << " written, " << want.size()
                          << " recorded, first difference at byte " << first;
        }
        k++;
    }
}

INSTANTIATE_TEST_SUITE_P(Draws, Golden, ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<golden_case>& param_info) {
                             return param_info.param.name;
                         });

}  // namespace
