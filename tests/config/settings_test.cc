#include "config/settings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "config/base64.h"
#include "config/settings_check.h"
#include "test_support.h"

namespace {

modem_settings load_text(const std::string& content) {
  modem_settings s;
  std::string buffer = content;
  FILE* file = fmemopen(buffer.data(), buffer.size(), "r");
  EXPECT_NE(file, nullptr);
  settings_load_stream(s, file);
  if (file != nullptr) fclose(file);
  return s;
}

// A record with every field non-zero and distinct, so a field read from or written to the
// wrong key shows.
modem_settings sample() {
  modem_settings s;
  s.enabled = 1;
  s.serial = 1;
  s.baudrate = 115200;
  s.databits = 7;
  s.parity = "E";
  s.stopbits = 2;
  s.split = 3;
  s.port = 2000;
  s.keepalive = 1;
  s.keepalive_time = 60;
  s.keepalive_intvl = 10;
  s.keepalive_probes = 5;
  s.sreg_auto_answer = 2;
  s.sreg_esc = 43;
  s.sreg_cr = 13;
  s.sreg_lf = 10;
  s.sreg_bs = 8;
  s.sreg_ring_int = 6;
  s.sreg_conn_tout = 60;
  s.sreg_hup_delay = 30;
  s.sreg_split = 100;
  s.sreg_esc_delay = 50;
  s.sreg_dtr_ignore = 25;
  s.stat_echo = 4;
  s.stat_quiet = 9;
  s.stat_verbosity = 11;
  s.stat_dtr_action = 12;
  s.cfg_script = "ABC";
  s.sysloglev = 7;
  s.spoof_ok = 14;
  return s;
}

void expect_same(const modem_settings& a, const modem_settings& b) {
  EXPECT_EQ(settings_format(a), settings_format(b));
  EXPECT_EQ(a.enabled, b.enabled);
  EXPECT_EQ(a.parity, b.parity);
  EXPECT_EQ(a.cfg_script, b.cfg_script);
}

TEST(SettingsFormat, WritesTheThirtyKeysInFileOrder) {
  EXPECT_EQ(settings_format(sample()),
            "MOD_ORVANE_ENABLED=1\n"
            "MOD_ORVANE_SERIAL=1\n"
            "MOD_ORVANE_BAUDRATE=115200\n"
            "MOD_ORVANE_DATABITS=7\n"
            "MOD_ORVANE_PARITY=E\n"
            "MOD_ORVANE_STOPBITS=2\n"
            "MOD_ORVANE_SPLIT=3\n"
            "MOD_ORVANE_PORT=2000\n"
            "MOD_ORVANE_KEEPALIVE=1\n"
            "MOD_ORVANE_KEEPALIVE_TIME=60\n"
            "MOD_ORVANE_KEEPALIVE_INTVL=10\n"
            "MOD_ORVANE_KEEPALIVE_PROBES=5\n"
            "MOD_ORVANE_STAT_ECHO=4\n"
            "MOD_ORVANE_STAT_QUIET=9\n"
            "MOD_ORVANE_STAT_VERBOSITY=11\n"
            "MOD_ORVANE_STAT_DTR_ACTION=12\n"
            "MOD_ORVANE_SREG_AUTO_ANSWER=2\n"
            "MOD_ORVANE_SREG_ESC=43\n"
            "MOD_ORVANE_SREG_CR=13\n"
            "MOD_ORVANE_SREG_LF=10\n"
            "MOD_ORVANE_SREG_BS=8\n"
            "MOD_ORVANE_SREG_RING_INT=6\n"
            "MOD_ORVANE_SREG_CONN_TOUT=60\n"
            "MOD_ORVANE_SREG_HUP_DELAY=30\n"
            "MOD_ORVANE_SREG_SPLIT=100\n"
            "MOD_ORVANE_SREG_ESC_DELAY=50\n"
            "MOD_ORVANE_SREG_DTR_IGNORE=25\n"
            "MOD_ORVANE_CFG_SCRIPT=QUJD\n"
            "MOD_ORVANE_SYSLOGLEV=7\n"
            "MOD_ORVANE_SPOOF_OK=14\n");
}

TEST(SettingsFormat, ZeroIsEmptyOnlyForSomeNumbers) {
  EXPECT_EQ(settings_format(modem_settings{}),
            "MOD_ORVANE_ENABLED=0\n"
            "MOD_ORVANE_SERIAL=\n"
            "MOD_ORVANE_BAUDRATE=\n"
            "MOD_ORVANE_DATABITS=\n"
            "MOD_ORVANE_PARITY=\n"
            "MOD_ORVANE_STOPBITS=\n"
            "MOD_ORVANE_SPLIT=0\n"
            "MOD_ORVANE_PORT=\n"
            "MOD_ORVANE_KEEPALIVE=0\n"
            "MOD_ORVANE_KEEPALIVE_TIME=\n"
            "MOD_ORVANE_KEEPALIVE_INTVL=\n"
            "MOD_ORVANE_KEEPALIVE_PROBES=\n"
            "MOD_ORVANE_STAT_ECHO=0\n"
            "MOD_ORVANE_STAT_QUIET=0\n"
            "MOD_ORVANE_STAT_VERBOSITY=0\n"
            "MOD_ORVANE_STAT_DTR_ACTION=0\n"
            "MOD_ORVANE_SREG_AUTO_ANSWER=0\n"
            "MOD_ORVANE_SREG_ESC=0\n"
            "MOD_ORVANE_SREG_CR=0\n"
            "MOD_ORVANE_SREG_LF=0\n"
            "MOD_ORVANE_SREG_BS=0\n"
            "MOD_ORVANE_SREG_RING_INT=0\n"
            "MOD_ORVANE_SREG_CONN_TOUT=0\n"
            "MOD_ORVANE_SREG_HUP_DELAY=0\n"
            "MOD_ORVANE_SREG_SPLIT=0\n"
            "MOD_ORVANE_SREG_ESC_DELAY=0\n"
            "MOD_ORVANE_SREG_DTR_IGNORE=0\n"
            "MOD_ORVANE_CFG_SCRIPT=\n"
            "MOD_ORVANE_SYSLOGLEV=0\n"
            "MOD_ORVANE_SPOOF_OK=0\n");
}

// The line of `key` in the formatted record.
std::string line_of(const std::string& formatted, const std::string& key) {
  size_t at = formatted.find("\n" + key + "=");
  at = formatted.starts_with(key + "=") ? 0 : at + 1;
  return formatted.substr(at, formatted.find('\n', at) - at);
}

TEST(SettingsFormat, FlagsAndTexts) {
  modem_settings s;
  s.enabled = 7;
  s.port = 4294967295u;
  s.parity = "no parity";
  EXPECT_EQ(line_of(settings_format(s), "MOD_ORVANE_ENABLED"), "MOD_ORVANE_ENABLED=1");
  EXPECT_EQ(line_of(settings_format(s), "MOD_ORVANE_PORT"), "MOD_ORVANE_PORT=4294967295");
  EXPECT_EQ(line_of(settings_format(s), "MOD_ORVANE_PARITY"), "MOD_ORVANE_PARITY=\"no parity\"");

  struct {
    std::string text, line;
  } cases[] = {
      {"E", "MOD_ORVANE_PARITY=E"},
      {"a\"b", "MOD_ORVANE_PARITY=a\"b"},
      {"a\tb", "MOD_ORVANE_PARITY=a\tb"},  // only the space character asks for quotes
      {" ", "MOD_ORVANE_PARITY=\" \""},
      {std::string("E\0 x", 4), "MOD_ORVANE_PARITY=E"},
      {std::string(16001, 'p'), "MOD_ORVANE_PARITY=" + std::string(16000, 'p')},
      {" " + std::string(16001, 'p'), "MOD_ORVANE_PARITY=\" " + std::string(15999, 'p') + "\""},
  };
  for (const auto& c : cases) {
    s.parity = c.text;
    EXPECT_EQ(line_of(settings_format(s), "MOD_ORVANE_PARITY"), c.line);
  }
}

TEST(SettingsLoad, MissingFileGivesZerosAndEmptyTexts) {
  temp_dir dir;
  modem_settings s = sample();
  settings_load(s, dir.file("absent").c_str());
  expect_same(s, modem_settings{});

  modem_settings t = sample();
  settings_load_stream(t, nullptr);
  expect_same(t, modem_settings{});
}

TEST(SettingsLoad, KeysMatchTheWholeTextBeforeTheFirstEquals) {
  struct {
    std::string content;
    uint32_t port;
  } cases[] = {
      {"MOD_ORVANE_PORT=2000\n", 2000},
      {"mod_orvane_port=2000\n", 2000},
      {"Mod_Orvane_Port=2000", 2000},
      {"MOD_ORVANE_PORT = 2000\n", 0},
      {" MOD_ORVANE_PORT=2000\n", 0},
      {"MOD_ORVANE_PORTX=2000\n", 0},
      {"XMOD_ORVANE_PORT=2000\n", 0},
      {"MOD_ORVANE_PORT\n2000\n", 0},
      {"MOD_ORVANE_PORT=1=2\n", 1},
      {"MOD_ORVANE_PORT=\"2000\"\n", 2000},
      {"MOD_ORVANE_PORT=1\nMOD_ORVANE_PORT=2\n", 1},
      {"=5\nfoo\n\nMOD_ORVANE_PORT=7\n", 7},
      {"MOD_ORVANE_PORT=12\r34\n", 12},
      {"MOD_ORVANE_PORT=12\r\n", 12},
      {"MOD_ORVANE_PORT\r=12\n", 0},
      // The cut at the last quote comes before the search for "=".
      {"MOD_ORVANE_PORT\"=12\n", 0},
      {"MOD_ORVANE_SPLIT=3\rMOD_ORVANE_PORT=12\n", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(load_text(c.content).port, c.port) << "content: \"" << c.content << "\"";
  }
}

TEST(SettingsLoad, NumbersReadAsScanfUnsigned) {
  // Magnitudes beyond 32 bits saturate to 4294967295 whatever the sign.
  struct {
    std::string value;
    uint32_t number;
  } cases[] = {
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"007", 7},
      {"+7", 7},
      {" \t 42", 42},
      {"-1", 4294967295u},
      {"-0", 0},
      {"-4294967295", 1},
      {"4294967295", 4294967295u},
      {"4294967296", 4294967295u},
      {"99999999999999999999999999", 4294967295u},
      {"-4294967296", 4294967295u},
      {"- 5", 0},
      {"+", 0},
      {"0x10", 0},
      {"\"8\"", 8},
      {"1 2", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(load_text("MOD_ORVANE_SREG_CONN_TOUT=" + c.value + "\n").sreg_conn_tout, c.number)
        << "value: \"" << c.value << "\"";
  }
}

TEST(SettingsLoad, TextValuesLoseOneLeadingAndTheLastQuote) {
  struct {
    std::string value, text;
  } cases[] = {
      {"E", "E"},    {"E\"", "E"}, {"\"E\"", "E"}, {"a\"b\"c", "a\"b"}, {"\"a b\"", "a b"},
      {"\"\"E", ""}, {"", ""},     {" E ", " E "}, {"E\rOdd\"", "E"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(load_text("MOD_ORVANE_PARITY=" + c.value + "\n").parity, c.text)
        << "value: \"" << c.value << "\"";
  }
}

TEST(SettingsLoad, LongLinesAreReadInPiecesOf16383Characters) {
  const std::string key = "MOD_ORVANE_PARITY=";
  // The first piece ends exactly before the second key, which is then a line of its own.
  std::string filler(16383 - key.size(), 'a');
  modem_settings s = load_text(key + filler + "MOD_ORVANE_PORT=77\n");
  EXPECT_EQ(s.parity, filler);
  EXPECT_EQ(s.port, 77u);

  // One character less and the second key is inside the first piece.
  filler.pop_back();
  s = load_text(key + filler + "MOD_ORVANE_PORT=77\n");
  EXPECT_EQ(s.parity.size(), 16383 - key.size());
  EXPECT_EQ(s.port, 0u);
}

TEST(SettingsLoad, ScriptIsDecodedFromBase64) {
  std::string script = "D0800:192168001001\nI7:Line seven\n";
  EXPECT_EQ(load_text("MOD_ORVANE_CFG_SCRIPT=" + base64_encode_alloc(script) + "\n").cfg_script,
            script);
  EXPECT_EQ(load_text("MOD_ORVANE_CFG_SCRIPT=\"QU JD\"\n").cfg_script, "ABC");
  EXPECT_EQ(load_text("MOD_ORVANE_CFG_SCRIPT=QUIAQUI=\n").cfg_script, "AB");
  EXPECT_EQ(load_text("MOD_ORVANE_CFG_SCRIPT=\n").cfg_script, "");
}

TEST(SettingsLoad, ReadsEveryKeyWrittenByFormat) {
  modem_settings original = sample();
  original.parity = "odd parity";
  original.cfg_script = "I1:hello \"world\"\nD2:010000000001\n";
  expect_same(load_text(settings_format(original)), original);

  // The flag is saved as 0/1; long texts come back cut to what the file keeps.
  original.enabled = 7;
  original.cfg_script = std::string(12001, 's');
  modem_settings back = load_text(settings_format(original));
  EXPECT_EQ(back.enabled, 1u);
  EXPECT_EQ(back.cfg_script, std::string(12000, 's'));
}

TEST(SettingsFormat, FlowControlLineOnlyWhenUsed) {
  modem_settings s = sample();
  for (uint32_t flow : {3u, 4u, 7u}) {
    s.flowcontrol = flow;
    std::string text = settings_format(s);
    std::string line = "MOD_ORVANE_STOPBITS=2\nMOD_ORVANE_FLOWCONTROL=" + std::to_string(flow) +
                       "\nMOD_ORVANE_SPLIT=3\n";
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(load_text(text).flowcontrol, flow);
  }
  s.flowcontrol = 0;
  EXPECT_EQ(settings_format(s).find("FLOWCONTROL"), std::string::npos);
  EXPECT_EQ(load_text("mod_orvane_flowcontrol=\"4\"\n").flowcontrol, 4u);
  EXPECT_EQ(load_text("MOD_ORVANE_FLOWCONTROL=\n").flowcontrol, 0u);
}

TEST(SettingsLoad, PathThatIsNotARegularFileReadsAsMissing) {
  temp_dir dir;
  std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string directory = dir.file("dir");
  ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  std::string link = dir.file("link-to-fifo");
  ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
  for (const std::string& path : {fifo, directory, link, std::string("/dev/null")}) {
    // A FIFO without a writer blocks an open for reading: the load must not open it.
    modem_settings s = sample();
    auto load =
        std::async(std::launch::async, [&s, &path] { return settings_load(s, path.c_str()); });
    if (load.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      int unblock = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      load.wait();
      if (unblock >= 0) close(unblock);
      FAIL() << path << ": the load blocked";
    }
    settings_notes notes = load.get();
    EXPECT_TRUE(notes.not_regular) << path;
    expect_same(s, modem_settings{});
    // Logged past the threshold, which such a load leaves at 0.
    uint32_t threshold = 0;
    log_set_threshold(&threshold);
    log_capture log;
    settings_log_notes(notes, path.c_str());
    log_set_threshold(nullptr);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"settings file " + path +
                                                    " is not a regular file: read as missing"});
    EXPECT_EQ(log.lines().at(0).first, 4);
  }
  // A link to a regular file is read through.
  std::string file = dir.file("settings");
  write_file(file, "MOD_ORVANE_PORT=77\n");
  std::string file_link = dir.file("link-to-file");
  ASSERT_EQ(symlink(file.c_str(), file_link.c_str()), 0);
  modem_settings s;
  EXPECT_FALSE(settings_load(s, file_link.c_str()).not_regular);
  EXPECT_EQ(s.port, 77u);
  EXPECT_FALSE(settings_load(s, dir.file("absent").c_str()).not_regular);
}

TEST(SettingsLoad, NotesWhatIsNotTakenAsWritten) {
  const std::string key = "MOD_ORVANE_CFG_SCRIPT=";
  struct row {
    std::string content;
    bool not_base64;
    const char* cut_key;
  };
  const std::string long_script = base64_encode_alloc(std::string(12300, 's'));
  const row rows[] = {
      {key + base64_encode_alloc("D1:010000000001\n") + "\n", false, nullptr},
      {key + "\n", false, nullptr},
      {"MOD_ORVANE_PORT=1\n", false, nullptr},
      {key + "D1:010000000001\n", true, nullptr},  // plain text where base64 belongs
      {key + "QUJD=\n", true, nullptr},
      {key + "QU JD\n", true, nullptr},
      // Cut, the value is no longer whole base64 either.
      {key + long_script + "\n", true, "MOD_ORVANE_CFG_SCRIPT"},
      // A line of exactly the buffer's length is whole.
      {"MOD_ORVANE_PARITY=" + std::string(16383 - 18, 'p') + "\n", false, nullptr},
      {"MOD_ORVANE_PARITY=" + std::string(16383 - 18, 'p') + "\r\n", false, nullptr},
      {"MOD_ORVANE_PARITY=" + std::string(16383 - 18, 'p'), false, nullptr},
      {"MOD_ORVANE_PARITY=" + std::string(16383 - 17, 'p') + "\n", false, "MOD_ORVANE_PARITY"},
  };
  for (const row& r : rows) {
    modem_settings s;
    std::string buffer = r.content;
    FILE* file = fmemopen(buffer.data(), buffer.size(), "r");
    ASSERT_NE(file, nullptr);
    settings_notes notes = settings_load_stream(s, file);
    fclose(file);
    std::string what = r.content.substr(0, 40);
    EXPECT_EQ(notes.script_not_base64, r.not_base64) << what;
    EXPECT_EQ(notes.cut_key == nullptr ? "" : notes.cut_key,
              std::string(r.cut_key == nullptr ? "" : r.cut_key))
        << what;
    EXPECT_FALSE(notes.not_regular);
  }
  // What start-up logs of them, at level 4 and only through the threshold.
  settings_notes notes;
  notes.script_not_base64 = true;
  notes.cut_key = "MOD_ORVANE_CFG_SCRIPT";
  uint32_t threshold = 4;
  log_set_threshold(&threshold);
  log_capture log;
  settings_log_notes(notes, "/x/settings");
  EXPECT_EQ(log.texts(),
            (std::vector<std::string>{
                "settings file /x/settings: the line of MOD_ORVANE_CFG_SCRIPT is longer than "
                "16383 characters: read cut",
                "settings file /x/settings: MOD_ORVANE_CFG_SCRIPT is not valid base64: the "
                "characters outside its alphabet are skipped",
            }));
  for (const auto& line : log.lines()) EXPECT_EQ(line.first, 4);
  log.clear();
  threshold = 3;
  settings_log_notes(notes, "/x/settings");
  EXPECT_TRUE(log.lines().empty());
  log_set_threshold(nullptr);
}

TEST(SettingsFormat, AllowListIsWrittenLastAndOnlyWhenUsed) {
  struct {
    std::string allow, last_line;
  } cases[] = {
      {"", "MOD_ORVANE_SPOOF_OK=14"},
      {"10.0.0.0/8", "MOD_ORVANE_ALLOW=10.0.0.0/8"},
      {"10.0.0.0/8,192.168.1.7", "MOD_ORVANE_ALLOW=10.0.0.0/8,192.168.1.7"},
      {"10.0.0.0/8, 192.168.1.7", "MOD_ORVANE_ALLOW=\"10.0.0.0/8, 192.168.1.7\""},
  };
  for (const auto& c : cases) {
    modem_settings s = sample();
    s.allow = c.allow;
    std::string text = settings_format(s);
    ASSERT_FALSE(text.empty());
    std::string last = text.substr(0, text.size() - 1);
    last = last.substr(last.rfind('\n') + 1);
    EXPECT_EQ(last, c.last_line) << "allow: \"" << c.allow << "\"";
    EXPECT_EQ(load_text(text).allow, c.allow);
  }
  // Without a list the file is the one a daemon without this key has always written.
  modem_settings s = sample();
  std::string without = settings_format(s);
  s.allow = "127.0.0.2";
  EXPECT_EQ(settings_format(s), without + "MOD_ORVANE_ALLOW=127.0.0.2\n");
}

int mode_of(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

size_t entries_in(const std::string& dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

TEST(SettingsSave, RoundTripKeepsThePermissionBits) {
  temp_dir dir;
  std::string path = dir.file("settings");
  write_file(path, "old\n");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);

  modem_settings s = sample();
  s.parity = "even parity";
  s.cfg_script = std::string(SETTINGS_SCRIPT_SAVE_MAX, 'x');
  EXPECT_EQ(settings_save(s, path.c_str()), 1);
  EXPECT_EQ(read_file(path), settings_format(s));
  EXPECT_EQ(mode_of(path), 0600);
  EXPECT_EQ(entries_in(dir.path()), 1u);

  modem_settings back;
  settings_load(back, path.c_str());
  expect_same(back, s);
}

TEST(SettingsSave, CreatesAMissingFile) {
  temp_dir dir;
  std::string path = dir.file("settings");
  EXPECT_EQ(settings_save(sample(), path.c_str()), 1);
  EXPECT_EQ(read_file(path), settings_format(sample()));
}

TEST(SettingsSave, RefusesAScriptThatWouldBeCut) {
  temp_dir dir;
  std::string path = dir.file("settings");
  write_file(path, "old\n");
  modem_settings s = sample();
  s.cfg_script = std::string(SETTINGS_SCRIPT_SAVE_MAX + 1, 'x');
  EXPECT_EQ(settings_save(s, path.c_str()), 0);
  EXPECT_EQ(read_file(path), "old\n");
  EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(SettingsSave, RefusesAnAllowListThatWouldBeCut) {
  temp_dir dir;
  std::string path = dir.file("settings");
  write_file(path, "old\n");
  modem_settings s = sample();
  s.allow = std::string(SETTINGS_TEXT_MAX - 8, ' ') + "10.0.0.1";
  EXPECT_EQ(settings_save(s, path.c_str()), 1);
  s.allow += "0";
  write_file(path, "old\n");
  EXPECT_EQ(settings_save(s, path.c_str()), 0);
  EXPECT_EQ(read_file(path), "old\n");
}

TEST(SettingsSave, FailsWhenTheFileCannotBeReplaced) {
  temp_dir dir;
  EXPECT_EQ(settings_save(sample(), dir.file("no/such/dir/settings").c_str()), 0);

  // A directory in the file's place cannot be renamed over.
  std::string blocked = dir.file("blocked");
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  EXPECT_EQ(settings_save(sample(), blocked.c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_directory(blocked));
  EXPECT_EQ(entries_in(dir.path()), 1u);
}

TEST(SettingsSave, FailsInADirectoryWithoutWritePermission) {
  temp_dir dir;
  std::string sub = dir.file("ro");
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  std::string path = sub + "/settings";
  write_file(path, "old\n");
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(sub.c_str(), 0555), 0);

  // Root ignores permission bits, so the save runs in a child as an unprivileged user.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    _exit(settings_save(sample(), path.c_str()));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_file(path), "old\n");
  EXPECT_EQ(entries_in(sub), 1u);
  chmod(sub.c_str(), 0755);
}

}  // namespace
