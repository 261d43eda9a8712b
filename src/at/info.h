// Information commands: ATI (substitution texts or version files) and AT&V (flags and
// S-registers); the printing routines also write the status files.
#pragma once

#include <string>
#include <string_view>

struct modem_state;

int cmd_info(modem_state& ms, char* text, bool check_only);
int cmd_report(modem_state& ms, char* text, bool check_only);

// Writes every line of the file at `path` to the DTE, each without its CR/LF and followed by S3
// and S4 (pieces of at most 127 characters). Returns 0, or -1 when the file cannot be opened.
int print_file_lines(modem_state& ms, const char* path);

// Writes `text` to the DTE as information text of an extended command or an unsolicited report:
// each line of it (lines are separated by '\n') followed by S3 S4, and with V1 one S3 S4 before
// the first.
void send_info_text(modem_state& ms, std::string_view text);

// Writes the four lines of the configuration report (E Q V &D and the S-registers) to the DTE.
void print_config_report(modem_state& ms);

// The same texts appended to `out`, byte for byte as the two routines above write them (the
// status files are built in memory, so that a failed write leaves the old file).
int file_lines_text(const modem_state& ms, const char* path, std::string& out);
void config_report_text(const modem_state& ms, std::string& out);
