// The control subsystem's pieces on their own: field splitting, numbers, the
// log, the call wrappers, write_all and the command dispatch.
#include "control/control.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "images/image.h"
#include "render/render.h"
#include "support/fixtures.h"

namespace {

const program_options NO_OPTIONS = {};

const char* const ABSENT = "<absent>";

std::vector<std::string> split(const std::string& text) {
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    command_fields fields = {};
    split_fields(line.data(), &fields);
    std::vector<std::string> out;
    for (int i = 0; i < fields.count; i++)
        out.push_back(fields.fields[i] ? fields.fields[i] : ABSENT);
    return out;
}

TEST(SplitFields, SplitsLikeTheProtocolSays) {
    struct {
        std::string line;
        std::vector<std::string> fields;
    } cases[] = {
        {"0;;abc",      {"0", "", "abc"}  },
        {"5;",          {"5", ABSENT}     },
        {"5; ",         {"5"}             },
        {" 4",          {"4"}             },
        {";",           {"", ABSENT}      },
        {";;",          {"", "", ABSENT}  },
        {"x ;y",        {"x ", "y"}       },
        {"   ",         {}                },
        {"\t1; 2",      {"1", "2"}        },
        {"4\r",         {"4\r"}           },
        {"1;\x80\x01x", {"1", "x"}        },
        {"1;2;",        {"1", "2", ABSENT}},
        {"a b;c",       {"a b", "c"}      },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(split(c.line), c.fields);
    }
}

TEST(SplitFields, KeepsTheFirst128Fields) {
    std::string line;
    for (int i = 0; i < 130; i++) line += std::to_string(i) + ";";
    line += "last";
    std::vector<std::string> fields = split(line);
    ASSERT_EQ(fields.size(), 128u);
    EXPECT_EQ(fields[0], "0");
    EXPECT_EQ(fields[127], "127");  // later fields are cut off at their ';' but dropped
}

TEST(ParseInt, FollowsStrtolAndNarrowsTo32Bits) {
    struct {
        const char* text;
        int32_t value;
        const char* log;
    } cases[] = {
        {nullptr,                 0,         ""                                                  },
        {"",                      0,         ""                                                  },
        {"abc",                   0,         ""                                                  },
        {"12abc",                 12,        ""                                                  },
        {"-7",                    -7,        ""                                                  },
        {"  42",                  42,        ""                                                  },
        {"+3",                    3,         ""                                                  },
        {"4294967301",            5,         ""                                                  }, // 2^32 + 5
        {"2147483648",            INT32_MIN, ""                                                  },
        {"99999999999999999999",  0,         ">>ERROR<<\tstrtol: Numerical result out of range\n"},
        {"-99999999999999999999", 0,         ">>ERROR<<\tstrtol: Numerical result out of range\n"},
 // LONG_MAX itself counts as overflow, whatever errno says.
        {"9223372036854775807",   0,         ">>ERROR<<\tstrtol: Success\n"                      },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        stderr_capture log;
        EXPECT_EQ(parse_int(c.text), c.value);
        EXPECT_EQ(log.text(), c.log);
    }
}

TEST(Log, PrefixesTheLevelAndDropsDebug) {
    stderr_capture log;
    log_message(LOG_DEBUG, "hidden %d\n", 1);
    EXPECT_EQ(log.text(), "");
    log_message(LOG_ERROR, "couldn't open \"%s\"\n", "x");
    log_message(LOG_WARN, "w");
    log_message(LOG_FATAL, "f\n");
    EXPECT_EQ(log.text(), ">>ERROR<<\tcouldn't open \"x\"\n>>WARN<<\tw>>FATAL<<\tf\n");
}

TEST(Wrappers, LogTheCallAndHandBackItsResult) {
    stderr_capture log;
    EXPECT_EQ(fopen_or_log("/nonexistent/file", "r"), nullptr);
    EXPECT_EQ(log.text(),
              ">>ERROR<<\tcouldn't open \"/nonexistent/file\"\n"
              ">>ERROR<<\tfopen: No such file or directory\n");

    stderr_capture log2;
    EXPECT_LT(open_or_log("/nonexistent/tty", O_RDWR), 0);
    EXPECT_LT(close_or_log(-1), 0);
    EXPECT_EQ(log2.text(),
              ">>ERROR<<\tcouldn't open \"/nonexistent/tty\"\n"
              ">>ERROR<<\topen: No such file or directory\n"
              ">>ERROR<<\tclose: Bad file descriptor\n");
}

TEST(WriteAll, GoesOnAfterPartialWritesAndEagain) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);  // a full pipe answers EAGAIN or writes part
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7);
    std::string received;
    std::thread reader([&] { received = read_all(fds[0]); });
    EXPECT_EQ(write_all(fds[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(received, data);
}

void on_alarm(int) {}

TEST(WriteAll, RepeatsAWriteInterruptedBeforeAnyByte) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // Fill the pipe, so the next small write blocks until the reader drains.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    char fill[4096] = {};
    size_t filled = 0;
    for (ssize_t n; (n = write(fds[1], fill, sizeof fill)) > 0;) filled += static_cast<size_t>(n);
    fcntl(fds[1], F_SETFL, 0);

    struct sigaction action = {};
    action.sa_handler = on_alarm;  // no SA_RESTART: the blocked write fails with EINTR
    struct sigaction old_action;
    sigaction(SIGUSR1, &action, &old_action);
    pthread_t writer = pthread_self();
    std::string received;
    std::thread helper([&] {
        usleep(100 * 1000);
        pthread_kill(writer, SIGUSR1);
        usleep(100 * 1000);
        received = read_all(fds[0]);
    });
    const char message[] = "after the signal";
    EXPECT_EQ(write_all(fds[1], message, sizeof message - 1),
              static_cast<ssize_t>(sizeof message - 1));
    close(fds[1]);
    helper.join();
    close(fds[0]);
    sigaction(SIGUSR1, &old_action, nullptr);
    EXPECT_EQ(received.size(), filled + sizeof message - 1);
    EXPECT_EQ(received.substr(filled), message);
}

TEST(WriteAll, LogsOnceOnAClosedDescriptor) {
    stderr_capture log;  // first, so it cannot reuse the closed descriptor's number
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_LT(write_all(fds[1], "abc", 3), 3);
    EXPECT_EQ(log.text(), ">>ERROR<<\twrite: Bad file descriptor\n");
    EXPECT_EQ(write_all(STDOUT_FILENO, "", 0), 0);
}

TEST(Geometry, UnreadableSizeGivesTheDefault) {
    term_geometry geometry = {-1, 0, 0, 0, 0, false};
    stderr_capture log;
    update_geometry(&geometry);
    EXPECT_EQ(geometry.width, 1280);
    EXPECT_EQ(geometry.height, 1001);
    EXPECT_EQ(geometry.cell_width, 8);
    EXPECT_EQ(geometry.cell_height, 16);
    EXPECT_EQ(log.text(), ">>ERROR<<\tioctl: TIOCGWINSZ failed\n");
}

TEST(Slots, SelectSlotClampsIntoTheTable) {
    struct {
        int32_t number;
        int index;
    } cases[] = {
        {0,         0   },
        {1,         0   },
        {-5,        0   },
        {INT32_MIN, 0   },
        {2,         1   },
        {1024,      1023},
        {1025,      1023},
        {99999,     1023},
        {INT32_MAX, 1023}
    };
    for (const auto& c : cases) EXPECT_EQ(select_slot(c.number), c.index) << c.number;
}

TEST(Slots, EmptyAdvanceAndReset) {
    image img;
    image_init(&img);
    EXPECT_EQ(img.frame_count, 1);
    EXPECT_EQ(image_current_frame(&img), nullptr);
    image_free_frames(&img);  // frees nothing
    image_advance_frame(&img);
    EXPECT_EQ(img.current_frame, 0);

    img.frame_count = 3;
    img.frame = allocate_frame(2, 2, 4);
    img.width = img.height = 2;
    img.channels = 4;
    img.drawn = true;
    std::vector<int> seen;
    for (int i = 0; i < 4; i++) {
        seen.push_back(img.current_frame);
        image_advance_frame(&img);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 0}));

    image_reset(&img);
    image fresh;
    image_init(&fresh);
    EXPECT_EQ(img.frame_count, fresh.frame_count);
    EXPECT_EQ(img.width, 0);
    EXPECT_EQ(img.channels, 0);
    EXPECT_FALSE(img.drawn);
    EXPECT_EQ(img.frame, nullptr);
    EXPECT_EQ(img.generation, fresh.generation + 1);

    img.frame_count = 0;  // a GIF without frames: advancing must not divide
    image_advance_frame(&img);
    EXPECT_EQ(img.current_frame, 0);
}

TEST(Slots, FrameByteCountRefusesWhatCannotBeHeld) {
    size_t bytes = 0;
    EXPECT_TRUE(frame_byte_count(3, 2, 4, &bytes));
    EXPECT_EQ(bytes, 24u);
    EXPECT_TRUE(frame_byte_count(0, 5, 3, &bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_FALSE(frame_byte_count(-1, 5, 3, &bytes));
    EXPECT_FALSE(frame_byte_count(65536, 65536, 4, &bytes));  // 16 GiB
    EXPECT_FALSE(frame_byte_count(INT64_MAX, INT64_MAX, 4, &bytes));
    EXPECT_TRUE(frame_byte_count(16384, 8192, 4, &bytes));  // exactly the limit
    EXPECT_FALSE(frame_byte_count(16384, 8192, 4 + 1, &bytes));
}

struct dispatch_fixture : ::testing::Test {
    static image_table table;
    static draw_cache cache;
    term_geometry geometry = {-1, 640, 361, 8, 16, false};
    command_fields fields = {};

    void SetUp() override {
        for (auto& slot : table.slots) image_init(&slot);
    }
    void TearDown() override {
        for (auto& slot : table.slots) image_free_frames(&slot);
    }
    std::string reply(const std::string& line) {
        char buffer[LINE_BUFFER_SIZE];
        snprintf(buffer, sizeof buffer, "%s", line.c_str());
        FILE* out = tmpfile();
        stderr_capture quiet;
        handle_command_line(buffer, &fields, &geometry, &table, &cache, &NO_OPTIONS, out);
        std::string text(static_cast<size_t>(ftell(out)), '\0');
        rewind(out);
        size_t n = fread(text.data(), 1, text.size(), out);
        text.resize(n);
        fclose(out);
        return text;
    }
};
image_table dispatch_fixture::table;
draw_cache dispatch_fixture::cache;

TEST_F(dispatch_fixture, RepliesOnlyToCommandsFourAndFive) {
    struct {
        std::string line;
        std::string reply;
    } cases[] = {
        {"4\n",              "\n"   },
        {"4;x\n",            "\n"   },
        {" 4\n",             "\n"   },
        {"4;\n",             "\n"   },
        {"4294967300\n",     "\n"   }, // 2^32 + 4 narrows to 4
        {"\n",               ""     },
        {"    \n",           ""     },
        {"7\n",              ""     },
        {"-1\n",             ""     },
        {"2\n",              ""     },
        {"3;a;b\n",          ""     },
        {"5\n",              ""     },
        {"5;a;b\n",          ""     },
        {"5;\n",             "0 0\n"},
        {"5;/nonexistent\n", "0 0\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(reply(c.line), c.reply) << c.line;
}

TEST_F(dispatch_fixture, CommandSixClearsOnlyDrawnFlags) {
    table.slots[3].drawn = true;
    table.slots[1023].drawn = true;
    table.slots[3].width = 7;
    EXPECT_EQ(reply("6\n"), "");
    EXPECT_FALSE(table.slots[3].drawn);
    EXPECT_FALSE(table.slots[1023].drawn);
    EXPECT_EQ(table.slots[3].width, 7);
}

}  // namespace
