// orvane-settings: shows, changes and checks the daemon's settings file with the daemon's own
// reader, writer and script loader, so that what it accepts is what the daemon accepts.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "config/settings_check.h"
#include "modem/paths.h"
#include "modem/tls_credentials.h"
#include "platform/files.h"
#include "tools/settings_fields.h"

namespace {

// Exit statuses: 1 for a file that cannot be read or written and for a check that found
// errors, 2 for a request that is refused (usage, unknown key, bad value, bad script).
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_REFUSED = 2;

constexpr const char* usage_text =
    "usage: orvane-settings [-f FILE] COMMAND | --help | --version\n"
    "  show                 every key with its value, then the script as plain text\n"
    "  get KEY              one value (MOD_ORVANE_CFG_SCRIPT prints the script)\n"
    "  set KEY=VALUE...     change values; the file is rewritten as AT&W writes it\n"
    "  script get           print the substitution script\n"
    "  script set FILE|-    check a script with the daemon's loader and store it\n"
    "  check                check the file as the daemon's start-up reads it\n"
    "KEY is a key of the file in any letter case, with or without MOD_ORVANE_.\n"
    "FILE defaults to $ORVANED_ROOT/opt/orvane/etc/settings.\n";

int usage() {
  fputs(usage_text, stderr);
  return EXIT_REFUSED;
}

// Reads the rest of `file` into `content`. False (errno set) on a read error.
bool read_stream(FILE* file, std::string& content) {
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, file)) > 0) content.append(buf, n);
  return ferror(file) == 0;
}

// Reads the whole file (or standard input for "-") into `content`.
bool read_all(const char* path, std::string& content) {
  bool is_stdin = strcmp(path, "-") == 0;
  FILE* file = is_stdin ? stdin : fopen(path, "rbe");
  if (file == nullptr) return false;
  bool ok = read_stream(file, content);
  int err = errno;
  if (!is_stdin) fclose(file);
  errno = err;
  return ok;
}

// Loads the settings as the daemon does; unlike the daemon, a missing file is an error here,
// since saving would otherwise create a file of zeros. A path that is not a regular file (a
// FIFO would block the read) is refused without being opened.
bool load(const char* path, modem_settings& s, std::string* content) {
  std::string text;
  bool not_regular = false;
  FILE* file = open_regular_file(path, &not_regular);
  bool ok = file != nullptr && read_stream(file, text);
  int err = errno;
  if (file != nullptr) fclose(file);
  if (!ok) {
    fprintf(stderr, "orvane-settings: cannot read %s: %s\n", path,
            not_regular ? "not a regular file" : strerror(err));
    return false;
  }
  settings_load(s, path);
  if (content != nullptr) *content = std::move(text);
  return true;
}

int save(const char* path, const modem_settings& s) {
  // settings_save refuses such a script without a system error to report.
  if (s.cfg_script.size() > SETTINGS_SCRIPT_SAVE_MAX) {
    fprintf(stderr, "orvane-settings: the script has %zu bytes; at most %zu can be saved\n",
            s.cfg_script.size(), SETTINGS_SCRIPT_SAVE_MAX);
    fprintf(stderr, "orvane-settings: nothing changed in %s\n", path);
    return EXIT_REFUSED;
  }
  // The daemon logs why it does not follow such a link; the operator reads it here.
  std::string why;
  if (!link_path_trusted(path, why)) {
    fprintf(stderr, "orvane-settings: %s\n", why.c_str());
    fprintf(stderr, "orvane-settings: nothing changed in %s\n", path);
    return EXIT_FAILED;
  }
  if (settings_save(s, path) == 0) {
    fprintf(stderr, "orvane-settings: cannot write %s: %s\n", path, strerror(errno));
    return EXIT_FAILED;
  }
  return 0;
}

void print_script(const std::string& script) {
  fputs(script.c_str(), stdout);
  if (!script.empty() && script.back() != '\n') putchar('\n');
}

void print_value(const settings_key& field, const modem_settings& s) {
  switch (field.kind) {
    case SETTING_NUMBER:
    case SETTING_FLAG:
      printf("%u\n", s.*field.number);
      break;
    case SETTING_PARITY:
    case SETTING_ALLOW:
    case SETTING_TEXT:
      printf("%s\n", (s.*field.text).c_str());
      break;
    case SETTING_SCRIPT:
      print_script(s.*field.text);
      break;
  }
}

int cmd_show(const char* path) {
  modem_settings s;
  if (!load(path, s, nullptr)) return EXIT_FAILED;
  for (const settings_key& field : settings_keys) {
    const char* key = field.key.data();
    if (field.kind == SETTING_SCRIPT) {
      const std::string& script = s.*field.text;
      size_t lines = 0;
      for (size_t i = 0; i < script.size(); ++i) {
        if (script[i] == '\n' || i + 1 == script.size()) ++lines;
      }
      if (script.empty()) {
        printf("%s=\n", key);
      } else {
        printf("%s=<script of %zu line%s, below>\n", key, lines, lines == 1 ? "" : "s");
      }
    } else if (field.number == nullptr) {
      printf("%s=%s\n", key, (s.*field.text).c_str());
    } else {
      printf("%s=%u\n", key, s.*field.number);
    }
  }
  if (!s.cfg_script.empty()) {
    printf("\n# MOD_ORVANE_CFG_SCRIPT as plain text:\n");
    print_script(s.cfg_script);
  }
  return 0;
}

const settings_key* lookup(std::string_view name) {
  const settings_key* field = find_settings_field(name);
  if (field == nullptr) {
    // As the check names a key that is not one.
    const settings_key* near = settings_key_near(name);
    std::string hint = near != nullptr ? "; did you mean " + std::string(near->key) + "?" : "";
    fprintf(stderr, "orvane-settings: unknown key \"%.*s\"%s\n", static_cast<int>(name.size()),
            name.data(), hint.c_str());
  }
  return field;
}

int cmd_get(const char* path, const char* name) {
  const settings_key* field = lookup(name);
  if (field == nullptr) return EXIT_REFUSED;
  modem_settings s;
  if (!load(path, s, nullptr)) return EXIT_FAILED;
  print_value(*field, s);
  return 0;
}

// Refuses a script the daemon would not start with or could not save; prints why.
bool script_acceptable(const std::string& script, const modem_settings& s) {
  if (script.find('\0') != std::string::npos) {
    fprintf(stderr, "orvane-settings: the script holds a zero byte\n");
    return false;
  }
  if (script.size() > SETTINGS_SCRIPT_SAVE_MAX) {
    fprintf(stderr, "orvane-settings: the script has %zu bytes; at most %zu can be saved\n",
            script.size(), SETTINGS_SCRIPT_SAVE_MAX);
    return false;
  }
  check_findings found;
  check_script(script, s, found);
  for (const std::string& e : found.errors) fprintf(stderr, "orvane-settings: %s\n", e.c_str());
  for (const std::string& w : found.warnings) {
    fprintf(stderr, "orvane-settings: warning: %s\n", w.c_str());
  }
  return found.errors.empty();
}

// Stores `text` as the value of `field` in `s`. Returns false (after saying why) when the
// value is not one the field takes.
bool assign(const settings_key& field, std::string_view text, modem_settings& s) {
  const char* key = field.key.data();
  switch (field.kind) {
    case SETTING_NUMBER: {
      uint32_t value = 0;
      if (!parse_settings_number(text, value)) {
        fprintf(stderr, "orvane-settings: %s: \"%.*s\" is not a number (0 to 4294967295)\n", key,
                static_cast<int>(text.size()), text.data());
        return false;
      }
      s.*field.number = value;
      break;
    }
    case SETTING_FLAG:
      if (text != "0" && text != "1") {
        fprintf(stderr, "orvane-settings: %s: \"%.*s\" is neither 0 nor 1\n", key,
                static_cast<int>(text.size()), text.data());
        return false;
      }
      s.*field.number = text == "1" ? 1 : 0;
      break;
    case SETTING_PARITY: {
      char letter = text.size() == 1 ? text[0] : '\0';
      if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 32);
      if (letter != 'N' && letter != 'E' && letter != 'O') {
        fprintf(stderr, "orvane-settings: %s: \"%.*s\" is not N, E or O\n", key,
                static_cast<int>(text.size()), text.data());
        return false;
      }
      s.*field.text = std::string(1, letter);
      break;
    }
    case SETTING_SCRIPT:
      if (!script_acceptable(std::string(text), s)) return false;
      s.*field.text = std::string(text);
      break;
    case SETTING_ALLOW:
    case SETTING_TEXT:
      // values_acceptable refuses a list or path the daemon would not start with.
      s.*field.text = std::string(text);
      break;
  }
  return true;
}

// The settings check of the `assigned` fields once all of them are in `s` (the TLS keys are
// checked together, so that they may be set in one command). Prints each finding once; true
// when none is an error.
bool values_acceptable(const std::vector<const settings_key*>& assigned, const modem_settings& s) {
  check_findings found;
  for (const settings_key* field : assigned) check_field(*field, s, found);
  std::vector<std::string> said;
  auto first_time = [&said](const std::string& text) {
    if (std::find(said.begin(), said.end(), text) != said.end()) return false;
    said.push_back(text);
    return true;
  };
  for (const std::string& e : found.errors) {
    if (first_time(e)) fprintf(stderr, "orvane-settings: %s\n", e.c_str());
  }
  for (const std::string& w : found.warnings) {
    if (first_time(w)) fprintf(stderr, "orvane-settings: warning: %s\n", w.c_str());
  }
  return found.errors.empty();
}

// True (after saying why) when the file's lines hold a refusal that rewriting it would settle
// in silence (a cut list kept cut, the first of two disagreeing access lines kept), unless the
// command sets that key itself.
bool rewrite_would_hide(const char* path, const std::vector<std::string_view>& assigned) {
  settings_checked checked = settings_check_file(path);
  for (const settings_finding& f : checked.findings) {
    if (!f.in_lines || std::find(assigned.begin(), assigned.end(), f.key) != assigned.end()) {
      continue;
    }
    fprintf(stderr, "orvane-settings: %s\n", f.text.c_str());
    return true;
  }
  return false;
}

int cmd_set(const char* path, int argc, char** argv) {
  if (argc == 0) return usage();
  modem_settings s;
  if (!load(path, s, nullptr)) return EXIT_FAILED;
  bool refused = false;
  std::vector<std::string_view> assigned;
  std::vector<const settings_key*> fields;
  for (int i = 0; i < argc; ++i) {
    std::string_view arg = argv[i];
    size_t equals = arg.find('=');
    if (equals == std::string_view::npos) {
      fprintf(stderr, "orvane-settings: \"%s\" is not KEY=VALUE\n", argv[i]);
      refused = true;
      continue;
    }
    const settings_key* field = lookup(arg.substr(0, equals));
    if (field == nullptr || !assign(*field, arg.substr(equals + 1), s)) refused = true;
    if (field == nullptr) continue;
    assigned.push_back(field->key);
    if (std::find(fields.begin(), fields.end(), field) == fields.end()) fields.push_back(field);
  }
  if (!refused && !values_acceptable(fields, s)) refused = true;
  if (refused || rewrite_would_hide(path, assigned)) {
    fprintf(stderr, "orvane-settings: nothing changed in %s\n", path);
    return EXIT_REFUSED;
  }
  return save(path, s);
}

int cmd_script(const char* path, int argc, char** argv) {
  if (argc == 1 && strcmp(argv[0], "get") == 0) {
    modem_settings s;
    if (!load(path, s, nullptr)) return EXIT_FAILED;
    print_script(s.cfg_script);
    return 0;
  }
  if (argc != 2 || strcmp(argv[0], "set") != 0) return usage();
  std::string script;
  if (!read_all(argv[1], script)) {
    fprintf(stderr, "orvane-settings: cannot read %s: %s\n", argv[1], strerror(errno));
    return EXIT_FAILED;
  }
  modem_settings s;
  if (!load(path, s, nullptr)) return EXIT_FAILED;
  if (!script_acceptable(script, s) || rewrite_would_hide(path, {"MOD_ORVANE_CFG_SCRIPT"})) {
    fprintf(stderr, "orvane-settings: script refused; %s left unchanged\n", path);
    return EXIT_REFUSED;
  }
  s.cfg_script = script;
  return save(path, s);
}

// The certificate, key and CA files read with the daemon's own loader, as start-up reads them,
// once the TLS keys themselves pass the check (whose errors are led by their keys).
void check_tls_files(const modem_settings& s, check_findings& found) {
  for (const std::string& e : found.errors) {
    if (e.starts_with("MOD_ORVANE_TLS_")) return;
  }
  tls_context loaded;
  std::string message;
  if (!load_tls_credentials(s, loaded, message)) found.errors.push_back(message);
}

int cmd_check(const char* path) {
  modem_settings s;
  std::string content;
  if (!load(path, s, &content)) return EXIT_FAILED;
  check_findings found;
  check_file(path, found);
  check_tls_files(s, found);
  for (std::string_view key : missing_keys(content)) {
    found.warnings.push_back(std::string(key) + ": missing (read as 0 or empty)");
  }
  check_findings script;
  check_script(s.cfg_script, s, script);
  for (const std::string& e : script.errors) found.errors.push_back("MOD_ORVANE_CFG_SCRIPT: " + e);
  for (const std::string& w : script.warnings) {
    found.warnings.push_back("MOD_ORVANE_CFG_SCRIPT: " + w);
  }
  for (const std::string& e : found.errors) fprintf(stderr, "error: %s\n", e.c_str());
  for (const std::string& w : found.warnings) fprintf(stderr, "warning: %s\n", w.c_str());
  size_t errors = found.errors.size();
  size_t warnings = found.warnings.size();
  printf("%s: %zu error%s, %zu warning%s\n", path, errors, errors == 1 ? "" : "s", warnings,
         warnings == 1 ? "" : "s");
  return errors == 0 ? 0 : EXIT_FAILED;
}

}  // namespace

int main(int argc, char** argv) {
  std::string path = paths_under_root(getenv("ORVANED_ROOT")).settings;
  int i = 1;
  for (; i < argc && argv[i][0] == '-' && argv[i][1] != '\0'; ++i) {
    if (strcmp(argv[i], "-f") == 0 && i + 1 < argc) {
      path = argv[++i];
    } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      fputs(usage_text, stdout);
      return 0;
    } else if (strcmp(argv[i], "--version") == 0) {
      puts(SETTINGS_TOOL_VERSION);
      return 0;
    } else {
      return usage();
    }
  }
  if (i >= argc) return usage();
  std::string_view command = argv[i];
  int rest = argc - i - 1;
  char** args = argv + i + 1;
  const char* file = path.c_str();
  if (command == "show" && rest == 0) return cmd_show(file);
  if (command == "get" && rest == 1) return cmd_get(file, args[0]);
  if (command == "set") return cmd_set(file, rest, args);
  if (command == "script") return cmd_script(file, rest, args);
  if (command == "check" && rest == 0) return cmd_check(file);
  return usage();
}
