// The real program, run the way a host runs it: a pseudo-terminal as its
// controlling terminal, commands and replies on pipes. These tests check the
// replies, the log files and the bytes that reach the terminal, decoding the
// sixel data back to pixels where it matters.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "control/control.h"
#include "support/fixtures.h"
#include "support/host.h"
#include "support/sixel_decode.h"

namespace {

std::string main_log() {
    return read_file(MAIN_LOG_PATH);
}

// A running program in an 80x24 terminal (640x361 drawable pixels).
struct session : ::testing::Test {
    host_process p;
    temp_dir dir;

    void start(int columns = 80, int rows = 24, const std::vector<std::string>& args = {}) {
        ASSERT_TRUE(host_start(&p, args, columns, rows));
    }
    void TearDown() override {
        if (p.pid > 0 && p.exit_status < 0) host_finish(&p);
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
    for (auto args : std::vector<std::vector<std::string>>{{"-test"}, {"-size", "/etc/passwd"}, {}}) {
        int status = -1;
        EXPECT_EQ(run_without_terminal(args, &status), "");
        EXPECT_EQ(status, 0);
    }
    EXPECT_NE(read_file(INSTANCE_LOG_PATH).find("couldn't open controlling terminal\n"),
              std::string::npos);
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
    write_file(MAIN_LOG_PATH, std::string("old contents\n"));
    std::string before = read_file(INSTANCE_LOG_PATH);
    start();
    ask("5;/nonexistent/picture.png");
    EXPECT_EQ(host_finish(&p), 0);
    EXPECT_EQ(main_log(),
              ">>ERROR<<\tcouldn't open \"/nonexistent/picture.png\"\n"
              ">>ERROR<<\tfopen: No such file or directory\n");
    EXPECT_EQ(read_file(INSTANCE_LOG_PATH).compare(0, before.size(), before), 0);
    struct stat info;
    ASSERT_EQ(stat(MAIN_LOG_PATH, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(Logs, PlantedSymlinksAreNotFollowed) {
    temp_dir dir;
    std::string target = dir.file("victim");
    write_file(target, std::string("precious\n"));
    std::string saved_main = read_file(MAIN_LOG_PATH);
    unlink(MAIN_LOG_PATH);
    unlink(INSTANCE_LOG_PATH);
    ASSERT_EQ(symlink(target.c_str(), MAIN_LOG_PATH), 0);
    ASSERT_EQ(symlink(target.c_str(), INSTANCE_LOG_PATH), 0);

    host_process p;
    ASSERT_TRUE(host_start(&p, {}));
    host_send(&p, "4");
    std::string reply;
    EXPECT_TRUE(host_read_reply(&p, &reply));  // the program still serves the host
    EXPECT_EQ(host_finish(&p), 0);
    EXPECT_EQ(read_file(target), "precious\n");
    unlink(MAIN_LOG_PATH);
    unlink(INSTANCE_LOG_PATH);
}

TEST_F(session, SurvivesTheHostClosingItsReplies) {
    start();
    close(p.from_stdout);  // the host stops reading: replies now fail with EPIPE
    p.from_stdout = -1;
    host_send(&p, "4");
    host_send(&p, "5;/nonexistent");
    EXPECT_EQ(host_finish(&p), 0);
}

}  // namespace
