#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "cli/Console.h"

namespace vandrelux::cli {
namespace {

// The console's two streams, captured in memory.
class Captured {
public:
    Captured()
        : m_out(open_memstream(&m_outText, &m_outSize)),
          m_err(open_memstream(&m_errText, &m_errSize)) {}
    ~Captured() {
        std::fclose(m_out);
        std::fclose(m_err);
        std::free(m_outText);
        std::free(m_errText);
    }
    Captured(const Captured&) = delete;
    Captured& operator=(const Captured&) = delete;

    std::FILE* Out() { return m_out; }
    std::FILE* Err() { return m_err; }
    std::string OutText() {
        std::fflush(m_out);
        return {m_outText, m_outSize};
    }
    std::string ErrText() {
        std::fflush(m_err);
        return {m_errText, m_errSize};
    }

private:
    char* m_outText = nullptr;
    std::size_t m_outSize = 0;
    char* m_errText = nullptr;
    std::size_t m_errSize = 0;
    std::FILE* m_out;
    std::FILE* m_err;
};

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> events;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        events.push_back(nlohmann::json::parse(line));  // throws on a line that is not JSON
    }
    return events;
}

TEST(Console, Json_EveryLineOneEventWithPortAndTime_TextEscaped) {
    Captured io;
    CConsole console({true, false}, {"/dev/ttyUSB0", "COM2"}, io.Out(), io.Err());
    console.Emit(1, "frame_refused", {{"frame", 3}});
    console.Log(0, "Start Sending \"a\\b\".bin  files!\r\n");
    console.BoxChar(0, 'o');
    console.BoxChar(0, '\x01');
    console.BoxChar(0, '\n');
    console.EmitRun("run_complete", {{"status", 1}});

    const auto events = JsonLines(io.OutText());
    ASSERT_EQ(events.size(), 4U);
    EXPECT_EQ(events[0]["event"], "frame_refused");
    EXPECT_EQ(events[0]["port"], "COM2");
    EXPECT_EQ(events[0]["frame"], 3);
    EXPECT_TRUE(events[0]["t"].is_number());
    EXPECT_EQ(events[1]["event"], "log");
    EXPECT_EQ(events[1]["text"], "Start Sending \"a\\b\".bin  files!");
    EXPECT_EQ(events[2]["event"], "box_text");
    EXPECT_EQ(events[2]["text"], "o\x01");
    EXPECT_TRUE(events[3]["port"].is_null());
    EXPECT_NE(io.ErrText().find("o?\n"), std::string::npos);  // the box's words still shown
}

TEST(Console, Json_InvalidUtf8FromTheBox_StillValidJson) {
    Captured io;
    CConsole console({true, false}, {"p"}, io.Out(), io.Err());
    for (const char ch : std::string("\xff\xfe ok\n")) {
        console.BoxChar(0, ch);
    }
    EXPECT_EQ(JsonLines(io.OutText()).size(), 1U);
}

TEST(Console, BoxText_EscapesDefusedOnTheTerminal_EndlessLineShownInPieces) {
    Captured io;
    CConsole console({false, true}, {"A"}, io.Out(), io.Err());
    for (const char ch : std::string("\x1b[2J\tclear\x7f\n")) {
        console.BoxChar(0, ch);
    }
    EXPECT_EQ(io.ErrText(), "?[2J\tclear?\n");
    for (int i = 0; i < 4096 * 2 + 10; ++i) {
        console.BoxChar(0, 'z');
    }
    const std::string err = io.ErrText();
    EXPECT_EQ(err.size(), std::string("?[2J\tclear?\n").size() + 2 * 4097);
    console.Finish(0);
    EXPECT_EQ(io.ErrText().size(), err.size() + 11);
}

TEST(Console, SeveralPorts_LogLinesLedByPort_PartialLinesWaitUntilFinish) {
    Captured io;
    CConsole console({false, false}, {"A", "B"}, io.Out(), io.Err());
    console.Log(0, "Start Sen");
    console.Log(1, "Send x complete!\r\n");
    console.Log(0, "ding a\r\nhalf");
    EXPECT_EQ(io.OutText(), "[B] Send x complete!\n[A] Start Sending a\n");
    console.Finish(0);
    EXPECT_EQ(io.OutText(), "[B] Send x complete!\n[A] Start Sending a\n[A] half\n");
    console.Note(1, "waiting");
    EXPECT_EQ(io.ErrText(), "vandrelux-cli: [B] waiting\n");
}

TEST(Console, OnePort_MessageLogAsTheWindowWritesIt) {
    Captured io;
    CConsole console({false, false}, {"/dev/pts/1"}, io.Out(), io.Err());
    console.Log(0, "Send a.bin complete!\r\n");
    console.Emit(0, "progress", {{"done", 1}});
    EXPECT_EQ(io.OutText(), "Send a.bin complete!\n");
}

TEST(Console, PlainProgress_OneLinePerTenth) {
    Captured io;
    CConsole console({false, false}, {"A"}, io.Out(), io.Err());
    for (std::uint64_t done = 0; done <= 1000; done += 5) {
        console.Progress(0, {"a.bin", done, 1000, 100});
    }
    const std::string err = io.ErrText();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 11);
    EXPECT_EQ(err.find('\x1b'), std::string::npos);
    EXPECT_NE(err.find("[########################] 100%  A  a.bin  1.0 kB of 1.0 kB"),
              std::string::npos);
}

TEST(Console, TerminalProgress_BarsRedrawnBelowOtherLines) {
    Captured io;
    CConsole console({false, true}, {"A", "B"}, io.Out(), io.Err());
    console.Progress(0, {"a.bin", 10, 10, 1});  // a finished file is always drawn
    console.Progress(1, {"b.bin", 20, 20, 1});
    console.Note(0, "hello");
    const std::string err = io.ErrText();
    // The note goes where the bars were, and both bars come back below it.
    const std::size_t note = err.find("\r\x1b[2A\x1b[Jvandrelux-cli: [A] hello\n");
    ASSERT_NE(note, std::string::npos) << err;
    EXPECT_NE(err.find("a.bin", note), std::string::npos);
    EXPECT_NE(err.find("b.bin", note), std::string::npos);

    console.PrintAtEnd("SUMMARY\n");
    const std::string end = io.ErrText();
    // The bars are drawn once more and stay; the summary comes below them.
    const std::string last = end.substr(end.rfind("\x1b[J"));
    EXPECT_LT(last.find("a.bin"), last.find("b.bin"));
    EXPECT_LT(last.find("b.bin"), last.find("SUMMARY\n"));
}

TEST(Console, TerminalShared_LogLinesAndEventsGoAboveTheBars) {
    // Standard output and standard error on one terminal, as in an operator's window.
    Captured io;
    CConsole console({false, true, true}, {"A", "B"}, io.Out(), io.Out());
    console.Status(0, "waiting");
    console.Status(1, "waiting");
    console.Log(0, "Start Sending a.bin  files!\r\n");
    std::string screen = io.OutText();
    // Were the bars not taken away first, the next redraw would wipe this line instead.
    std::size_t line = screen.find("\x1b[2A\x1b[J[A] Start Sending a.bin  files!\n");
    ASSERT_NE(line, std::string::npos) << screen;
    EXPECT_NE(screen.find("A  waiting", line), std::string::npos);
    EXPECT_NE(screen.find("B  waiting", line), std::string::npos);

    CConsole events({true, true, true}, {"A"}, io.Out(), io.Out());
    events.Status(0, "waiting");
    events.Emit(0, "port_opened");
    screen = io.OutText();
    line = screen.rfind("\x1b[1A\x1b[J{");
    ASSERT_NE(line, std::string::npos) << screen;
    EXPECT_NE(screen.find("A  waiting", screen.find('\n', line)), std::string::npos);
}

TEST(Console, TerminalTail_RedrawsTheBarOrStateItFollows) {
    Captured io;
    CConsole console({false, true}, {"A", "B"}, io.Out(), io.Err());
    console.Progress(0, {"a.bin", 10, 10, 1});
    console.Status(1, "box ready");
    console.StatusTail(0, "refused 3");
    console.StatusTail(1, "passed 1");
    const std::string err = io.ErrText();
    const std::size_t last = err.rfind("\x1b[J");
    EXPECT_NE(err.find("a.bin  10 B of 10 B  1 B/s  refused 3", last), std::string::npos) << err;
    EXPECT_NE(err.find("B  box ready  passed 1", last), std::string::npos) << err;
}

TEST(Console, ClosedOutput_SaidOnceOnStandardErrorAndTheRunGoesOn) {
    Captured io;
    std::FILE* closed = std::fopen("/dev/full", "w");
    ASSERT_NE(closed, nullptr);
    CConsole console({true, false}, {"A"}, closed, io.Err());
    console.Emit(0, "port_opened");
    console.Emit(0, "unit_started");
    console.Note(0, "still here");
    std::fclose(closed);
    const std::string err = io.ErrText();
    EXPECT_EQ(err,
              "vandrelux-cli: standard output: No space left on device; nothing more is written "
              "there\nvandrelux-cli: still here\n");
}

TEST(Console, Bar_EndsAndOverruns) {
    EXPECT_EQ(CConsole::Bar(0, 100, 4), "[....]   0%");
    EXPECT_EQ(CConsole::Bar(50, 100, 4), "[##..]  50%");
    EXPECT_EQ(CConsole::Bar(150, 100, 4), "[####] 100%");
    EXPECT_EQ(CConsole::Bar(0, 0, 4), "[....]   0%");
}

}  // namespace
}  // namespace vandrelux::cli
