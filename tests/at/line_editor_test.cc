#include "at/line_editor.h"

#include "at_fixture.h"

namespace {

using LineEditor = at_fixture;

const std::string LEFT = "\x1b[D";
const std::string RIGHT = "\x1b[C";

// Typed input that does not finish a line: the echo it produces and the line it leaves.
struct edit_case {
  const char* what;
  std::string input;
  std::string echo;
  std::string line;
  int cursor;
};

const edit_case edit_cases[] = {
    {"plain typing", "at+x", "at+x", "at+x", 4},
    {"insertion repaints the tail and steps back", "ATZ" + LEFT + "X", "ATZ" + LEFT + "XZ\b",
     "ATXZ", 3},
    {"insertion at the start", "TZ" + LEFT + LEFT + "A", "TZ" + LEFT + LEFT + "ATZ\b\b", "ATZ", 1},
    {"backspace at the end", "ATE\b", "ATE\b \b", "AT", 2},
    {"backspace inside the line", "ATEZ" + LEFT + LEFT + "\b",
     "ATEZ" + LEFT + LEFT + "\b \bEZ \b\b\b", "AEZ", 1},
    {"backspace at the start does nothing", "AT" + LEFT + LEFT + "\b", "AT" + LEFT + LEFT, "AT", 0},
    {"right arrow at the end does nothing", "AT" + RIGHT, "AT", "AT", 2},
    {"left arrow at the start does nothing", "A" + LEFT + LEFT, "A" + LEFT, "A", 0},
    {"left then right", "AT" + LEFT + RIGHT, "AT" + LEFT + RIGHT, "AT", 2},
    {"up, down, home and kill are ignored", "AT\x1b[A\x1b[B\x1b[H\x1b[K", "AT", "AT", 2},
    {"ESC and another byte is echoed, not stored", "A\x1bxT", "A\x1bxT", "AT", 2},
    {"unknown CSI final byte is echoed, not stored", "\x1b[2~", "\x1b[2~", "~", 1},
    {"ESC restarts an escape sequence", "\x1b\x1b[D", "", "", 0},
    {"control bytes are ignored", std::string("A\x01\x02\tT\x1f", 6), "AT", "AT", 2},
    {"DEL and high bytes are characters", "A\x7f\x80\xff", "A\x7f\x80\xff", "A\x7f\x80\xff", 4},
    {"backspace after ESC deletes and keeps the escape state", "AB\x1b\bx", "AB\b \b\x1bx", "A", 1},
};

TEST_F(LineEditor, EchoAndLineContent) {
  for (const edit_case& c : edit_cases) {
    make_state();
    EXPECT_EQ(type(c.input), c.echo) << c.what;
    EXPECT_EQ(line(), c.line) << c.what;
    EXPECT_EQ(ms->cmd_len, static_cast<int>(c.line.size())) << c.what;
    EXPECT_EQ(ms->cmd_cursor, c.cursor) << c.what;
  }
}

TEST_F(LineEditor, EchoOffWritesNothing) {
  for (const edit_case& c : edit_cases) {
    make_state();
    ms->settings.stat_echo = 0;
    EXPECT_EQ(type(c.input), "") << c.what;
    EXPECT_EQ(line(), c.line) << c.what;
    EXPECT_EQ(ms->cmd_cursor, c.cursor) << c.what;
  }
}

TEST_F(LineEditor, BackspaceEchoUsesS5) {
  ms->settings.sreg_bs = 0x7f;
  EXPECT_EQ(type("ATEZ" + LEFT + "\x7f"), "ATEZ" + LEFT + "\x7f \x7fZ \x7f\x7f");
  EXPECT_EQ(line(), "ATZ");
  // With S5 changed, byte 8 is an ignored control byte.
  EXPECT_EQ(type("\b"), "");
  EXPECT_EQ(line(), "ATZ");
}

TEST_F(LineEditor, LineEndOnEmptyLineEchoesOnly) {
  EXPECT_EQ(type("\r"), "\r\n");
  EXPECT_TRUE(log.lines().empty());
  ms->settings.stat_echo = 0;
  EXPECT_EQ(type("\r"), "");
}

TEST_F(LineEditor, LineEndHandsTheLineOverAndResets) {
  EXPECT_EQ(type("AT\r"), "AT\r\nOK\r\n");
  EXPECT_EQ(line(), "");
  EXPECT_EQ(ms->cmd_len, 0);
  EXPECT_EQ(ms->cmd_cursor, 0);
  // The line end finishes the line even right after ESC, and ends the escape sequence.
  EXPECT_EQ(type("AT\x1b\r"), "AT\r\nOK\r\n");
  EXPECT_EQ(ms->esc_state, ESC_NONE);
  EXPECT_EQ(type("x"), "x");
  EXPECT_EQ(line(), "x");
}

TEST_F(LineEditor, LineEndInTheMiddleTakesTheWholeLine) {
  EXPECT_EQ(type("ATE0" + LEFT + LEFT + "\r"), "ATE0" + LEFT + LEFT + "\r\nOK\r\n");
  EXPECT_EQ(ms->settings.stat_echo, 0u);
}

TEST_F(LineEditor, SeveralLinesInOneChunk) {
  EXPECT_EQ(type("ATS7=5\rATS7?\r"), "ATS7=5\r\nOK\r\nATS7?\r\n5\r\nOK\r\n");
}

TEST_F(LineEditor, SlashFinishesTheLineAtOnce) {
  EXPECT_EQ(type("A/"), "A/\r\nERROR\r\n");
  EXPECT_EQ(line(), "");
  EXPECT_EQ(type("ATS0?\r"), "ATS0?\r\n0\r\nOK\r\n");
  EXPECT_EQ(type("A/"), "A/\r\n0\r\nOK\r\n");
  // A '/' anywhere finishes the line; only A/ is accepted.
  EXPECT_EQ(type("ATZ/"), "ATZ/\r\nERROR\r\n");
  ms->settings.stat_echo = 0;
  EXPECT_EQ(type("ATA/"), "ERROR\r\n");
  EXPECT_EQ(ms->pending_action, ACTION_NONE);
}

TEST_F(LineEditor, FullLineDropsFurtherCharacters) {
  std::string full(CMD_LINE_MAX, 'A');
  EXPECT_EQ(type(full), full);
  EXPECT_EQ(type("B/"), "");
  EXPECT_EQ(line(), full);
  EXPECT_EQ(ms->cmd_len, CMD_LINE_MAX);
  // Insertion into a full line is dropped too; backspace still works.
  EXPECT_EQ(type(LEFT + "C"), LEFT);
  EXPECT_EQ(line(), full);
  EXPECT_EQ(type("\b"), "\b \bA \b\b");
  EXPECT_EQ(ms->cmd_len, CMD_LINE_MAX - 1);
  EXPECT_EQ(type("C"), "CA\b");
  EXPECT_EQ(line(), std::string(CMD_LINE_MAX - 2, 'A') + "CA");
  EXPECT_EQ(ms->cmd_line[CMD_LINE_MAX], '\0');
  // The full line is still handed over by S3 (and rejected: it does not begin with AT).
  EXPECT_EQ(type("\r"), "\r\nERROR\r\n");
}

TEST_F(LineEditor, LowerCaseIsStoredAsTyped) {
  EXPECT_EQ(type("at s7=1"), "at s7=1");
  EXPECT_EQ(line(), "at s7=1");
  EXPECT_EQ(type("\r"), "\r\nOK\r\n");
  EXPECT_EQ(ms->settings.sreg_conn_tout, 1u);
}

TEST_F(LineEditor, RegisterAboveByteRangeNeverMatches) {
  ms->settings.sreg_cr = 0x100 + '\r';
  // CR is now an ignored control byte; the echo of a finished line carries S3's low byte.
  EXPECT_EQ(type("AT\r"), "AT");
  EXPECT_EQ(line(), "AT");
  ms->settings.sreg_bs = 0x100 + 8;
  EXPECT_EQ(type("\b"), "");
  EXPECT_EQ(line(), "AT");
}

TEST_F(LineEditor, PartLineSurvivesUntilReset) {
  type("ATE" + LEFT);
  EXPECT_EQ(line(), "ATE");
  EXPECT_EQ(ms->cmd_cursor, 2);
  type("\x1b[");
  EXPECT_EQ(ms->esc_state, ESC_CSI);
  editor_reset(*ms);
  EXPECT_EQ(line(), "");
  EXPECT_EQ(ms->cmd_len, 0);
  EXPECT_EQ(ms->cmd_cursor, 0);
  EXPECT_EQ(ms->esc_state, ESC_NONE);
}

}  // namespace
