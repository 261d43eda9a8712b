#include "at/info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "at/hayes_commands.h"
#include "at/sreg_table.h"
#include "config/subst_script.h"
#include "config/text_rules.h"
#include "modem/dte_output.h"
#include "modem/modem_state.h"

namespace {

constexpr size_t REPORT_LINE_SIZE = 128;

unsigned char line_end(const modem_state& ms) {
  return static_cast<unsigned char>(ms.settings.sreg_cr);
}
unsigned char line_feed(const modem_state& ms) {
  return static_cast<unsigned char>(ms.settings.sreg_lf);
}

// Moves the fill mark of a report line past a piece that snprintf wrote into the space that
// remained (the line is sized so that twelve registers always fit; a cut piece stops there).
void advance(size_t& used, int written) {
  if (written > 0) used = std::min(used + static_cast<size_t>(written), REPORT_LINE_SIZE - 1);
}

// One write of the whole text, as the text's pieces were written one by one before.
void write_all_text(modem_state& ms, const std::string& text) {
  dte_write(ms, text.data(), text.size());
}

}  // namespace

int cmd_info(modem_state& ms, char* text, bool check_only) {
  int digits = 0;
  while (is_digit(text[digits])) ++digits;
  if (digits == 0) return -1;
  // Every digit is consumed although only the pattern or the first digit decides: ATI23 is ATI2.
  const substitution* subst = subst_lookup(ms.subst_table, ms.subst_count, SUBST_INFO, text);
  if (subst != nullptr) {
    if (!check_only) {
      dte_text(ms, subst->replacement.c_str());
      dte_byte(ms, line_end(ms));
      dte_byte(ms, line_feed(ms));
    }
    return digits;
  }
  const char* path = nullptr;
  if (text[0] == '2') {
    path = ms.paths.router_version.c_str();
  } else if (text[0] == '3') {
    path = ms.paths.module_version.c_str();
  } else {
    return -1;
  }
  // A missing version file prints nothing; the command still succeeds.
  if (!check_only) print_file_lines(ms, path);
  return digits;
}

int cmd_report(modem_state& ms, char*, bool check_only) {
  if (!check_only) print_config_report(ms);
  return 0;
}

int print_file_lines(modem_state& ms, const char* path) {
  std::string text;
  if (file_lines_text(ms, path, text) != 0) return -1;
  write_all_text(ms, text);
  return 0;
}

void send_info_text(modem_state& ms, std::string_view text) {
  std::string out;
  if (ms.settings.stat_verbosity != 0) {
    out.push_back(static_cast<char>(line_end(ms)));
    out.push_back(static_cast<char>(line_feed(ms)));
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = std::min(text.find('\n', start), text.size());
    out.append(text.substr(start, end - start));
    out.push_back(static_cast<char>(line_end(ms)));
    out.push_back(static_cast<char>(line_feed(ms)));
    start = end + 1;
  }
  write_all_text(ms, out);
}

void print_config_report(modem_state& ms) {
  std::string text;
  config_report_text(ms, text);
  write_all_text(ms, text);
}

int file_lines_text(const modem_state& ms, const char* path, std::string& out) {
  FILE* file = fopen(path, "re");
  if (file == nullptr) return -1;
  char piece[128];
  while (fgets(piece, sizeof piece, file) != nullptr) {
    size_t len = strlen(piece);
    while (len > 0 && (piece[len - 1] == '\r' || piece[len - 1] == '\n')) piece[--len] = '\0';
    out.append(piece);
    out.push_back(static_cast<char>(line_end(ms)));
    out.push_back(static_cast<char>(line_feed(ms)));
  }
  fclose(file);
  return 0;
}

// Each line is formatted into a buffer and taken as a C text, so a zero S3 or S4 ends it.
void config_report_text(const modem_state& ms, std::string& out) {
  const modem_settings& s = ms.settings;
  unsigned char cr = line_end(ms);
  unsigned char lf = line_feed(ms);
  char line[REPORT_LINE_SIZE];

  // &C is shown with the commands of Hayes modems only, so that the report stays as it was.
  bool carrier = compat_enabled(ms);
  snprintf(line, sizeof line, "E   Q   V   &D%s%c%c", carrier ? "  &C" : "", cr, lf);
  out.append(line);

  snprintf(line, sizeof line, "%-4i%-4i%-4i%-4i", static_cast<int32_t>(s.stat_echo),
           static_cast<int32_t>(s.stat_quiet), static_cast<int32_t>(s.stat_verbosity),
           static_cast<int32_t>(s.stat_dtr_action));
  out.append(line);
  if (carrier) {
    snprintf(line, sizeof line, "%-4i", static_cast<int32_t>(s.stat_dcd));
    out.append(line);
  }
  snprintf(line, sizeof line, "%c%c%c%c", cr, lf, cr, lf);
  out.append(line);

  size_t used = 0;
  line[0] = '\0';
  for (const sreg_register& r : sreg_registers) {
    advance(used, snprintf(line + used, sizeof line - used, "S%-3i", r.number));
  }
  snprintf(line + used, sizeof line - used, "%c%c", cr, lf);
  out.append(line);

  used = 0;
  line[0] = '\0';
  for (const sreg_register& r : sreg_registers) {
    advance(used, snprintf(line + used, sizeof line - used, "%-4u", *sreg_value(ms, r.number)));
  }
  snprintf(line + used, sizeof line - used, "%c%c", cr, lf);
  out.append(line);
}
