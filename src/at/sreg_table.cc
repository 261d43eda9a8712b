#include "at/sreg_table.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "config/text_rules.h"
#include "modem/dte_output.h"

namespace {

constexpr int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 99;
}

// A number read from the start of a text.
struct parsed_number {
  int length = 0;  // characters consumed, 0 when there is no number
  int64_t value = 0;
};

// Large enough to be out of every range the callers accept, small enough not to overflow.
constexpr int64_t PARSE_LIMIT = int64_t{1} << 40;

// Reads an integer as strtol with base 0 does: optional sign, then hexadecimal after "0X",
// octal after "0", decimal otherwise; it ends at the first character that cannot continue it
// ("0X" without a hexadecimal digit is the number 0 followed by "X"). The magnitude saturates.
parsed_number parse_register_number(const char* text) {
  int pos = 0;
  bool negative = false;
  if (text[pos] == '+' || text[pos] == '-') {
    negative = text[pos] == '-';
    ++pos;
  }
  int base = 10;
  if (text[pos] == '0') {
    bool hex_prefix =
        (text[pos + 1] == 'X' || text[pos + 1] == 'x') && digit_value(text[pos + 2]) < 16;
    if (hex_prefix) {
      base = 16;
      pos += 2;
    } else {
      base = 8;
    }
  }
  int start = pos;
  int64_t magnitude = 0;
  while (digit_value(text[pos]) < base) {
    magnitude = magnitude * base + digit_value(text[pos]);
    if (magnitude > PARSE_LIMIT) magnitude = PARSE_LIMIT;
    ++pos;
  }
  if (pos == start) return {};
  return {.length = pos, .value = negative ? -magnitude : magnitude};
}

// Reads an unsigned decimal value as "%u" does: optional sign (a minus negates modulo 2^32),
// then decimal digits. Values beyond 32 bits saturate at 4294967295; every digit is consumed.
parsed_number parse_register_value(const char* text) {
  int pos = 0;
  bool negative = false;
  if (text[pos] == '+' || text[pos] == '-') {
    negative = text[pos] == '-';
    ++pos;
  }
  int start = pos;
  uint64_t value = 0;
  while (is_digit(text[pos])) {
    value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
    if (value > UINT32_MAX) value = UINT32_MAX;
    ++pos;
  }
  if (pos == start) return {};
  auto v = static_cast<uint32_t>(value);
  if (negative) v = 0u - v;
  return {.length = pos, .value = v};
}

constexpr int64_t USEC_PER_SEC = 1000000;

// value * factor, saturated at INT32_MAX.
int32_t scaled(uint32_t value, int64_t factor) {
  int64_t product = int64_t{value} * factor;
  return product > INT32_MAX ? INT32_MAX : static_cast<int32_t>(product);
}

// value * unit_usec as whole seconds and the microseconds left over; the seconds always fit
// (4294967295 x 20000 us is under 86 million seconds).
void split_usec(uint32_t value, int64_t unit_usec, int32_t& sec, int32_t& usec) {
  int64_t total = int64_t{value} * unit_usec;
  sec = static_cast<int32_t>(total / USEC_PER_SEC);
  usec = static_cast<int32_t>(total % USEC_PER_SEC);
}

// "n=v": the count ends after the '=' and the digits right after it; a sign before the value
// is read but not counted, so it is left over for the interpreter to reject.
int sreg_write(modem_state& ms, const char* text, bool check_only) {
  parsed_number n = parse_register_number(text);
  if (n.length == 0 || text[n.length] != '=') return -1;
  const char* value_text = text + n.length + 1;
  parsed_number v = parse_register_value(value_text);
  if (v.length == 0) return -1;
  const sreg_register* reg = sreg_find(n.value);
  if (reg == nullptr) return -1;
  int digits = 0;
  while (is_digit(value_text[digits])) ++digits;
  int count = n.length + 1 + digits;
  if (check_only) return count;
  *sreg_value(ms, reg->number) = static_cast<uint32_t>(v.value);
  if (reg->on_change == SREG_EFFECT_TIMERS) recompute_timers(ms);
  return count;
}

// "n...?": whatever stands between the number and the first '?' belongs to the query.
int sreg_read(modem_state& ms, const char* text, const char* question, bool check_only) {
  parsed_number n = parse_register_number(text);
  if (n.length == 0) return -1;
  const uint32_t* value = sreg_value(ms, n.value);
  if (value == nullptr) return -1;
  int count = static_cast<int>(question - text) + 1;
  if (check_only) return count;
  char buf[10];
  snprintf(buf, sizeof buf, "%i%c%c", static_cast<int32_t>(*value),
           static_cast<unsigned char>(ms.settings.sreg_cr),
           static_cast<unsigned char>(ms.settings.sreg_lf));
  dte_text(ms, buf);
  return count;
}

}  // namespace

const uint32_t* sreg_value(const modem_state& ms, int64_t n) {
  const sreg_register* reg = sreg_find(n);
  if (reg == nullptr) return nullptr;
  return reg->field != nullptr ? &(ms.settings.*reg->field) : &ms.ring_count;
}

uint32_t* sreg_value(modem_state& ms, int64_t n) {
  return const_cast<uint32_t*>(sreg_value(std::as_const(ms), n));
}

void recompute_timers(modem_state& ms) {
  const modem_settings& s = ms.settings;
  ms.inactivity_timeout_sec = scaled(s.sreg_hup_delay, HUP_DELAY_UNIT_SEC);
  ms.split_timeout_usec = scaled(s.sreg_split, SPLIT_UNIT_USEC);
  split_usec(s.sreg_esc_delay, ESC_DELAY_UNIT_USEC, ms.escape_guard_sec, ms.escape_guard_usec);
  split_usec(s.sreg_dtr_ignore, DTR_IGNORE_UNIT_USEC, ms.dtr_ignore_sec, ms.dtr_ignore_usec);
}

int32_t saturated_seconds(uint32_t value) { return scaled(value, 1); }

int cmd_sreg(modem_state& ms, char* text, bool check_only) {
  // An '=' anywhere on the rest of the line, even in a later command, selects the write form.
  if (strchr(text, '=') != nullptr) return sreg_write(ms, text, check_only);
  const char* question = strchr(text, '?');
  if (question != nullptr) return sreg_read(ms, text, question, check_only);
  return -1;
}
