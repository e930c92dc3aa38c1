// ferrun's progress line without a terminal: what is written when (the
// redraw limit, the line of its own after the console's open step, the
// final line of each file, blanking), how the figures read and fit the
// width, and that a file name from the server cannot drive the terminal.
#include "client/progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zel::client {
namespace {

using namespace std::chrono_literals;
using Clock = ProgressLine::Clock;

struct Recorder {
    std::vector<std::string> writes;
    ProgressLine::Writer writer() {
        return [this](std::string_view text) { writes.emplace_back(text); };
    }
};

TEST(ProgressLine, RedrawsInPlaceAtMostFourTimesASecondAndFinishesEachFile) {
    Recorder out;
    ProgressLine line(out.writer(), true);
    const Clock::time_point t0{};
    // Reports every 100 ms for 1 s: drawn at 0, 300, 600 and 900 ms only
    // (the limit is 250 ms between drawings).
    for (int i = 0; i <= 10; ++i)
        line.Update("BIG.DAT", i * 1024, 10 * 1024, false, t0 + i * 100ms, 80);
    ASSERT_EQ(out.writes.size(), 4u);
    // The first drawing leaves the console's unfinished step line alone.
    EXPECT_EQ(out.writes[0], "\n\rBIG.DAT  0 B/10.0 KiB  0 B/s  idle 0s");
    EXPECT_EQ(out.writes[1], "\rBIG.DAT  3.0 KiB/10.0 KiB  10.0 KiB/s  idle 0s");
    // The end is drawn at once, with the time taken, and ends the line.
    line.Update("BIG.DAT", 10 * 1024, 10 * 1024, true, t0 + 1100ms, 80);
    ASSERT_EQ(out.writes.size(), 5u);
    EXPECT_EQ(out.writes[4], "\rBIG.DAT  10.0 KiB/10.0 KiB  9.1 KiB/s  in 1.1s\n");

    // The next file starts on the fresh line; a shorter drawing blanks
    // what the longer one before it left.  No data for 3 s shows as idle.
    line.Update("B", 0, -1, false, t0 + 2s, 80);
    line.Update("B", 2048, -1, false, t0 + 3s, 80);
    line.Update("B", 2048, -1, false, t0 + 6s, 80);
    ASSERT_EQ(out.writes.size(), 8u);
    EXPECT_EQ(out.writes[5], "\rB  0 B/?  0 B/s  idle 0s");
    EXPECT_EQ(out.writes[6], "\rB  2.0 KiB/?  2.0 KiB/s  idle 0s");
    EXPECT_EQ(out.writes[7], "\rB  2.0 KiB/?  512 B/s  idle 3s  ");
    // A transfer that ends without its last report leaves no text behind.
    line.Close();
    ASSERT_EQ(out.writes.size(), 9u);
    EXPECT_EQ(out.writes[8], "\r" + std::string(30, ' ') + "\r");
    line.Close();
    EXPECT_EQ(out.writes.size(), 9u);
}

TEST(ProgressLine, WithoutAnOpenConsoleLineStartsWhereTheCursorIs) {
    Recorder out;
    ProgressLine line(out.writer(), false);
    line.Update("A", 3, 3, true, Clock::time_point{}, 80);
    ASSERT_EQ(out.writes.size(), 1u);
    EXPECT_EQ(out.writes[0], "\rA  3 B/3 B  0 B/s  in 0.0s\n");
}

TEST(ProgressLine, FiguresReadAndFitTheWidth) {
    EXPECT_EQ(FormatBytes(0), "0 B");
    EXPECT_EQ(FormatBytes(1023), "1023 B");
    EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
    EXPECT_EQ(FormatBytes(5LL << 30), "5.0 GiB");
    EXPECT_EQ(FormatBytes(-1), "0 B");

    // Beyond 4 GiB the counts stay whole.
    EXPECT_EQ(FormatProgressLine("F", 6LL << 30, 8LL << 30, 2.0, 0, false, 80),
              "F  6.0 GiB/8.0 GiB  3.0 GiB/s  idle 0s");
    // A name too long for the width loses its middle; the figures stay,
    // and the line keeps one column free.
    const std::string name = "VERY_LONG_NAME_" + std::string(60, 'x') + "_END.DAT";
    const std::string fitted = FormatProgressLine(name, 0, 100, 1, 0, false, 60);
    EXPECT_EQ(fitted.size(), 59u) << fitted;
    EXPECT_EQ(fitted.rfind("VERY_LONG", 0), 0u) << fitted;
    EXPECT_NE(fitted.find("_...x"), std::string::npos) << fitted;
    EXPECT_NE(fitted.find("x_END.DAT  0 B/100 B  0 B/s  idle 0s"), std::string::npos) << fitted;
    // Too narrow for even a shortened name: cut at the width.
    EXPECT_EQ(FormatProgressLine(name, 0, 100, 1, 0, false, 12), "VERY_LONG_N");
    // An unknown width is taken as 80 columns.
    EXPECT_EQ(FormatProgressLine(name, 0, 100, 1, 0, false, 0).size(), 79u);
    // Characters, not bytes, are counted: these 32 fit into 33 columns.
    const std::string accented = "\xc3\xa9t\xc3\xa9.dat";  // "été.dat"
    EXPECT_EQ(FormatProgressLine(accented, 0, 0, 1, 0, true, 33),
              accented + "  0 B/0 B  0 B/s  in 1.0s");
}

TEST(ProgressLine, NamesCannotMoveTheCursor) {
    // An escape sequence or a line break in a name from the server would
    // let it rewrite the terminal; they become "?".
    const std::u16string evil =
        u"A\x1b[2J\r\nB\x9b"
        u"C";
    EXPECT_EQ(TerminalSafeName(evil.data(), evil.size()), "A?[2J??B?C");
    EXPECT_EQ(TerminalSafeName(nullptr, 0), "");
}

}  // namespace
}  // namespace zel::client
