// Drives the whole daemon: the input is a script of events (bytes from the DTE, callers
// connecting over IPv4 or IPv6, plain or encrypted, callees answering or refusing, peer bytes
// in or outside the session, closes and resets, writes that would block, time passing, DTR
// changes, SIGUSR1, termination) applied to the real event loop in the simulated world; dials go
// to addresses, names in the hosts file and names the name servers answer. After every pass the
// invariants below are checked; a breach aborts.
//
// Script: one op byte after another (low four bits: the op; bit 4 set: no pass after it, so
// that several events meet one pass), each followed by its argument bytes. The first two bytes
// choose starting settings. A missing byte reads as 0.
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "at/result_codes.h"
#include "at/sreg_table.h"
#include "core/event_loop.h"
#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/log.h"
#include "sim/sim_tls_peer.h"
#include "sim/sim_world.h"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "invariant broken: %s\n", what);
  abort();
}

// ORVANED_FUZZ_TRACE=1 prints each op, each pass and the log, to read a crash input by.
bool trace = false;

void no_log(int /*level*/, const char* text) {
  if (trace) fprintf(stderr, "  log: %s\n", text);
}

std::string printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// The settings file AT&W writes and ATZ reads, the version files and the status directory, in
// a temporary directory made once per process. The settings file is put back for every input.
struct fuzz_files {
  std::string dir;
  std::string settings_text;
  tls_context tls;  // the certificate both ends of an encrypted call show (empty: no openssl)
};

fuzz_files* files = nullptr;

void write_text_file(const std::string& path, const std::string& content) {
  FILE* f = fopen(path.c_str(), "w");
  if (f == nullptr) return;
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

void make_files() {
  const char* tmp = getenv("TMPDIR");
  std::string base = tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
  if (tmp == nullptr && access("/dev/shm", W_OK) == 0) base = "/dev/shm";
  std::string tmpl = base + "/orvaned-fuzz-XXXXXX";
  check(mkdtemp(tmpl.data()) != nullptr, "temporary directory");
  files = new fuzz_files{.dir = tmpl};
  daemon_paths p = paths_under_root(tmpl.c_str());
  for (const std::string& dir :
       {std::string("/opt"), std::string("/opt/orvane"), std::string("/opt/orvane/etc"),
        std::string("/etc"), std::string("/var"), std::string("/var/orvane")}) {
    mkdir((tmpl + dir).c_str(), 0755);
  }
  write_text_file(p.router_version, "router 1.0\n");
  write_text_file(p.module_version, "module 2.0\n");
  write_text_file(p.hosts, "127.0.0.2 hosts.test\n");
  write_text_file(p.resolv_conf, "nameserver 192.0.2.53\n");
  std::string cert = tmpl + "/r1.pem", key = tmpl + "/r1.key", ca = tmpl + "/ca", problem;
  std::string req =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=";
  if (system((req + "ca -keyout " + ca + ".key -out " + ca + ".pem && " + req + "r1 -keyout " +
              key + " -out " + cert + " -CA " + ca + ".pem -CAkey " + ca +
              ".key -addext basicConstraints=critical,CA:FALSE 2>/dev/null")
                 .c_str()) == 0) {
    tls_context_load(files->tls, cert.c_str(), key.c_str(), (ca + ".pem").c_str(), problem);
  }
  files->settings_text =
      "MOD_ORVANE_PORT=2000\nMOD_ORVANE_BAUDRATE=115200\nMOD_ORVANE_STAT_ECHO=1\n"
      "MOD_ORVANE_STAT_VERBOSITY=1\nMOD_ORVANE_STAT_DTR_ACTION=2\nMOD_ORVANE_SREG_ESC=43\n"
      "MOD_ORVANE_SREG_CR=13\nMOD_ORVANE_SREG_LF=10\nMOD_ORVANE_SREG_BS=8\n"
      "MOD_ORVANE_SREG_RING_INT=2\nMOD_ORVANE_SREG_CONN_TOUT=30\nMOD_ORVANE_SREG_ESC_DELAY=50\n"
      "MOD_ORVANE_CFG_SCRIPT=\"RDEyMzQ6MTI3MDAwMDAwMDAxCkkzOmZ1enogbW9kZW0KRDU1OlRMUzoxMjcwMDAwMDAw"
      "MDEKRDY2Om5hbWUudGVzdApENjc6aG9zdHMudGVzdApENjg6VExTOls6OjFdCg==\"\nMOD_ORVANE_SYSLOGLEV=8\n"
      "MOD_ORVANE_TLS_CERT=" +
      cert + "\nMOD_ORVANE_TLS_KEY=" + key + "\nMOD_ORVANE_TLS_CA=" + ca + ".pem\n";
}

struct script_reader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  bool done() const { return pos >= size; }
  uint8_t byte() { return pos < size ? data[pos++] : 0; }
  std::string bytes(size_t n) {
    n = std::min(n, size - std::min(pos, size));
    std::string out(reinterpret_cast<const char*>(data + pos), n);
    pos += n;
    return out;
  }
};

// Command lines a DTE types, with their register values as the script chooses them.
constexpr const char* command_lines[] = {
    "ATD127000000001",
    "ATD10000000001",
    "ATD1234",
    "ATD55",
    "ATD66",
    "ATD67",
    "ATD68",
    "ATA",
    "ATH",
    "ATO",
    "ATZ",
    "AT&W",
    "ATS0=1",
    "ATS0=0",
    "ATS6=1",
    "ATS7=1",
    "ATS7=0",
    "ATS10=1",
    "ATS11=0",
    "ATS11=50",
    "ATS12=0",
    "ATS12=1",
    "ATS25=0",
    "ATS25=5",
    "ATE0",
    "ATQ1",
    "ATQ0",
    "ATV0",
    "AT&D0",
    "AT&D1",
    "AT&D2",
    "AT&D3",
    "ATI3",
    "AT&V",
    "A/",
    "ATS2=255",
    "ATS3=10",
    "ATS0?S1?",
    "AT",
    "ATX",
};

// What the harness remembers between passes to check that data mode loses nothing.
struct observer {
  modem_state* ms = nullptr;
  loop_state* ls = nullptr;
  sim_world* world = nullptr;
  std::string to_peer;        // read from the DTE on-line, not yet sent or dropped
  std::string to_dte;         // received from the peer on-line, not yet written or dropped
  std::string said;           // text (not peer bytes) the daemon wrote to the DTE while on-line
  int queued = 0;             // bytes of DTE output queued at the end of the last pass
  int flushed = 0;            // of those, bytes written from the queue this pass
  bool send_failed = false;   // a send to the peer or a serial read failed (drops bytes held)
  bool write_failed = false;  // a write to the DTE failed this pass (drops its held bytes)
  // The far ends of encrypted calls (at most 8), pumped after every pass. The bytes of an
  // encrypted call cannot be followed at its socket: only its plain calls are checked so.
  std::vector<std::pair<std::shared_ptr<sim_conn>, std::unique_ptr<sim_tls_peer>>> peers;
};

observer obs;
const system_calls* sim_table = nullptr;

// The world's calls, observed: which bytes cross the daemon's boundary while it is on-line.
ssize_t observed_read(int fd, void* buf, size_t len) {
  ssize_t n = sim_table->read(fd, buf, len);
  if (fd == obs.ms->serial_fd.get()) {
    if (n > 0 && obs.ms->online == 1) {
      obs.to_peer.append(static_cast<const char*>(buf), static_cast<size_t>(n));
    }
    // A failed read drops the bytes gathered for the peer (the daemon's rule).
    if (n < 0 && errno != EAGAIN) obs.send_failed = true;
  }
  return n;
}

ssize_t observed_recv(int fd, void* buf, size_t len) {
  ssize_t n = sim_table->recv(fd, buf, len);
  if (n > 0 && fd == obs.ls->link.sock.get() && obs.ms->online == 1 &&
      !link_encrypted(obs.ls->link)) {
    obs.to_dte.append(static_cast<const char*>(buf), static_cast<size_t>(n));
  }
  return n;
}

ssize_t observed_write(int fd, const void* buf, size_t len) {
  const char* bytes = static_cast<const char*>(buf);
  const char* in_begin = obs.ls->data.in.data();
  bool peer_bytes = bytes >= in_begin && bytes < in_begin + obs.ls->data.in.size();
  const char* queue_begin = obs.ms->dte_out.buf.data();
  bool from_queue = bytes >= queue_begin && bytes < queue_begin + obs.ms->dte_out.buf.size();
  // Text that the port does not take goes to the queue: it is seen there at the end of the pass.
  ssize_t n = sim_table->write(fd, buf, len);
  if (fd == obs.ms->serial_fd.get() && !peer_bytes && obs.ms->online == 1 && !from_queue && n > 0) {
    obs.said.append(bytes, static_cast<size_t>(n));
  }
  if (fd == obs.ms->serial_fd.get() && from_queue) {
    if (n > 0) obs.flushed += static_cast<int>(n);
    // A port that fails drops the queue (the daemon's rule).
    if (n < 0 && errno != EAGAIN) obs.flushed = obs.queued;
  }
  if (peer_bytes) check(obs.ms->dte_out.len == 0, "peer bytes wait behind queued DTE output");
  if (fd == obs.ms->serial_fd.get() && peer_bytes && !link_encrypted(obs.ls->link)) {
    if (n > 0) {
      check(obs.to_dte.compare(0, static_cast<size_t>(n), bytes, static_cast<size_t>(n)) == 0,
            "peer bytes reach the DTE in order");
      obs.to_dte.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno != EAGAIN) {
      obs.write_failed = true;
    }
  }
  return n;
}

ssize_t observed_send(int fd, const void* buf, size_t len) {
  ssize_t n = sim_table->send(fd, buf, len);
  // The answer byte goes out while the link still rings: only a connected call's bytes count.
  if (fd == obs.ls->link.sock.get() && obs.ls->link.state == LINK_CONNECTED &&
      !link_encrypted(obs.ls->link)) {
    if (n > 0) {
      check(obs.to_peer.compare(0, static_cast<size_t>(n), static_cast<const char*>(buf),
                                static_cast<size_t>(n)) == 0,
            "DTE bytes reach the peer in order");
      obs.to_peer.erase(0, static_cast<size_t>(n));
    } else if (n < 0 && errno != EAGAIN) {
      obs.send_failed = true;
    }
  }
  return n;
}

// The result codes the rules send while on-line: OK for the escape, NO CARRIER for a hang-up.
bool allowed_online_text(const std::string& text, const modem_settings& s) {
  if (text.empty() || s.stat_quiet != 0) return text.empty();
  auto cr = static_cast<char>(static_cast<unsigned char>(s.sreg_cr));
  auto lf = static_cast<char>(static_cast<unsigned char>(s.sreg_lf));
  if (s.stat_verbosity == 0) {
    return text == std::string("0") + cr || text == std::string("3") + cr;
  }
  return text == std::string("OK") + cr + lf || text == std::string("NO CARRIER") + cr + lf;
}

void check_invariants(const modem_state& ms, const loop_state& ls, const sim_world& world) {
  check(ms.call_state >= CALL_IDLE && ms.call_state <= CALL_CONNECTED, "a known call state");
  check(ms.online == 0 || ms.call_state == CALL_CONNECTED, "online implies CALL_CONNECTED");
  // The call's link is in the state of the call: closed while idle and while a dial's
  // attempts are under way, its connection up while dialling, then ringing or connected.
  link_state state = ls.link.state;
  bool link_ok = false;
  switch (ms.call_state) {
    case CALL_IDLE:
      link_ok = state == LINK_CLOSED && ls.dial.status != DIAL_GOING;
      break;
    case CALL_DIALING:
      link_ok = state == LINK_CLOSED || state == LINK_HANDSHAKING || state == LINK_AWAITING_ANSWER;
      break;
    case CALL_RINGING:
      link_ok = state == LINK_RINGING;
      break;
    case CALL_CONNECTED:
      link_ok = state == LINK_CONNECTED;
      break;
  }
  check(link_ok, "the call's link is in the state of the call");
  check((state == LINK_CLOSED) != ls.link.sock.valid(), "a live link holds its socket");
  // The world's descriptors are exactly those the record holds (the name servers' sockets are
  // c-ares' own).
  std::vector<int> held;
  for (const unique_fd* fd : {&ms.serial_fd, &ms.listen_sock, &ms.tls_listen_sock, &ls.link.sock}) {
    if (fd->valid()) held.push_back(fd->get());
  }
  for (const call_link& caller : ls.handshakes) {
    check(caller.state == (caller.sock.valid() ? LINK_HANDSHAKING : LINK_CLOSED),
          "a caller before it rings is in its handshake or look, with its socket");
    if (caller.sock.valid()) held.push_back(caller.sock.get());
  }
  for (const call_link& attempt : ls.dial.attempts) {
    if (attempt.sock.valid()) held.push_back(attempt.sock.get());
  }
  for (int fd : world.open_fds()) {
    if (world.conn_of(fd)->kind == SIM_DNS) held.push_back(fd);
  }
  std::sort(held.begin(), held.end());
  check(world.open_fds() == held, "no descriptor leaked or lost");
  // Held bytes: on-line they are exactly what was read and not yet passed on; in command mode
  // nothing is kept.
  if (ms.online == 0) {
    check(ls.data.out_len == 0 && ls.data.in_len == 0, "command mode keeps no bytes");
  }
  check(ls.data.sending != 0 || ls.data.out_len < SERIAL_BUF_SIZE,
        "whole chunks are sent at once; bytes are read ahead only behind a send");
  // Output for the DTE leaves its queue only by being written. Text queued in this pass is not
  // seen while it is said, so the check of what is said on-line holds for passes without it.
  const dte_output& out = ms.dte_out;
  int queued = out.len - out.written;
  int added = queued + obs.flushed - obs.queued;  // bytes that entered the queue this pass
  check(added >= 0, "DTE output leaves the queue only by being written");
  obs.queued = queued;
  obs.flushed = 0;
  // A result code while on-line is sent only by a rule that leaves data mode in the same pass.
  if (!obs.said.empty() && added == 0) {
    check(ms.online == 0, "no text on-line without leaving data mode");
    check(allowed_online_text(obs.said, ms.settings), "only OK or NO CARRIER end data mode");
  }
  obs.said.clear();
  // Leaving data mode or a failed write drops held bytes by rule; otherwise every byte read
  // on-line has been passed on or is still held, in order.
  bool encrypted = link_encrypted(ls.link);
  if (ms.online == 0 || obs.send_failed || encrypted) obs.to_peer.clear();
  if (ms.online == 0 || obs.write_failed || encrypted) obs.to_dte.clear();
  if (ms.online == 1 && !encrypted) {
    const data_path& link = ls.data;
    std::string held_serial(link.out.data() + link.out_sent,
                            static_cast<size_t>(link.out_len - link.out_sent));
    check(obs.to_peer == held_serial, "DTE bytes read on-line are sent or held");
    std::string held_tcp(link.in.data() + link.in_written,
                         static_cast<size_t>(link.in_len - link.in_written));
    check(obs.to_dte == held_tcp, "peer bytes received on-line are written or held");
  }
  obs.send_failed = false;
  obs.write_failed = false;
}

// One pass, then the invariants. Returns false once the loop has stopped.
struct pass_runner {
  modem_state& ms;
  loop_state& ls;
  sim_world& world;
  int still = 0;  // passes in a row in which neither the clock nor any byte moved
  int idle = 0;   // passes in a row that woke early for no timer and changed nothing

  bool pass() {
    int64_t before = world.now();
    uint64_t moved = world.transfers;
    call_state state = ms.call_state;
    int online = ms.online;
    bool running = event_loop_pass(ms, ls);
    if (trace) {
      fprintf(stderr, "pass at %lld us: state %d online %d said \"%s\" dte \"%s\"\n",
              static_cast<long long>(world.now()), static_cast<int>(ms.call_state), ms.online,
              printable(obs.said).c_str(), printable(world.serial()->from_daemon).c_str());
    }
    check_invariants(ms, ls, world);
    for (auto& far_end : obs.peers) far_end.second->pump();
    still = world.now() == before && world.transfers == moved ? still + 1 : 0;
    check(still < 50, "the loop does not spin");
    // A wait shorter than the second is for a timer, and a timer that runs out changes
    // something or is gone; short waits over and over that change nothing are wake-ups for a
    // timer that never runs out.
    bool woke_for_nothing = world.last_ready == 0 && !world.last_wait_cut &&
                            world.last_wait < SEC && world.transfers == moved &&
                            ms.call_state == state && ms.online == online;
    idle = woke_for_nothing ? idle + 1 : 0;
    check(idle < 10, "the loop does not wake for nothing");
    return running;
  }

  bool run_for(int64_t usec) {
    int64_t horizon = world.now() + usec;
    world.set_horizon(horizon);
    bool running = true;
    do {
      running = pass();
    } while (running && world.now() < horizon);
    world.set_horizon(-1);
    return running;
  }
};

// One of the far ends of calls made so far.
std::shared_ptr<sim_conn> pick_call(const std::vector<std::shared_ptr<sim_conn>>& calls,
                                    uint8_t which) {
  if (calls.empty()) return nullptr;
  return calls[which % calls.size()];
}

constexpr int64_t time_steps[] = {1,          999, 20 * MSEC, 100 * MSEC, 199999,
                                  200 * MSEC, SEC, 2 * SEC,   10 * SEC,   30 * SEC};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (files == nullptr) {
    make_files();
    log_set_sink(no_log);
    trace = getenv("ORVANED_FUZZ_TRACE") != nullptr;
  }
  script_reader in{data, size};
  sim_world world;
  auto ms = std::make_unique<modem_state>();
  auto ls = std::make_unique<loop_state>();
  ms->paths = paths_under_root(files->dir.c_str());
  write_text_file(ms->paths.settings, files->settings_text);
  settings_load(ms->settings, ms->paths.settings.c_str());
  uint8_t choice = in.byte();
  modem_settings& s = ms->settings;
  s.sreg_split = (choice & 1) != 0 ? 0 : 100;
  s.sreg_esc_delay = (choice & 2) != 0 ? 0 : 10;
  s.stat_quiet = (choice >> 2) & 1;
  s.stat_verbosity = ((choice >> 3) & 1) ^ 1;
  s.stat_dtr_action = (choice >> 4) & 3;
  s.sreg_dtr_ignore = (choice & 64) != 0 ? 5 : 0;
  s.sreg_hup_delay = (choice & 128) != 0 ? 1 : 0;
  uint8_t more = in.byte();
  s.sreg_auto_answer = more & 3;
  s.sreg_ring_int = (more >> 2) & 3;
  s.sreg_conn_tout = (more >> 4) & 3;
  s.spoof_ok = (more >> 6) & 1;
  log_set_threshold(&s.sysloglev);
  recompute_timers(*ms);
  subst_load_script(ms->subst_table, ms->subst_count, s.cfg_script);
  ls->connect_code = connect_code_for_baud(s.baudrate);
  ls->next_ring_time = monotonic_seconds();
  ms->serial_fd.reset(world.open_serial());
  if (tls_context_loaded(files->tls)) {
    ms->tls = files->tls;
    ms->tls_listen_sock.reset(world.open_listener(2443));
  }
  ms->listen_sock.reset(world.open_listener(2000));
  net_address v4, v6;
  net_address_parse("127.0.0.1", v4);
  net_address_parse("::1", v6);
  world.names["name.test"] = {.addresses = {v4, v6}};

  system_calls observed = sys();
  sim_table = &sim_world::calls();
  obs = observer{.ms = ms.get(), .ls = ls.get(), .world = &world};
  observed.read = observed_read;
  observed.recv = observed_recv;
  observed.write = observed_write;
  observed.send = observed_send;
  const system_calls* previous = use_system_calls(&observed);

  pass_runner runner{*ms, *ls, world};
  std::vector<std::shared_ptr<sim_conn>> calls;  // far ends, oldest first
  sim_conn& dte = *world.serial();
  bool running = true;
  while (running && !in.done()) {
    uint8_t op = in.byte();
    bool then_pass = (op & 0x10) == 0;
    if (trace) fprintf(stderr, "op %d%s\n", op & 0x0f, then_pass ? "" : " (no pass)");
    switch (op & 0x0f) {
      case 0:  // bytes from the DTE
        dte.send(in.bytes(in.byte() % 64 + 1));
        break;
      case 1: {  // a command line
        std::string line = command_lines[in.byte() % std::size(command_lines)];
        dte.send(line + static_cast<char>(static_cast<unsigned char>(ms->settings.sreg_cr)));
        break;
      }
      case 2: {  // a caller connects; with the top bit, an encrypted one to the TLS port
        static constexpr const char* callers[] = {"127.0.0.1", "127.0.0.2", "10.1.2.3", "::1",
                                                  "2001:db8::7"};
        uint8_t which = in.byte();
        net_address addr;
        net_address_parse(callers[which % 5], addr);
        bool tls = (which & 0x80) != 0 && ms->tls_listen_sock.valid() && obs.peers.size() < 8;
        calls.push_back(world.call_in(addr, tls ? ms->tls_listen_sock.get() : -1));
        if (tls) obs.peers.emplace_back(calls.back(), new sim_tls_peer(files->tls, calls.back()));
        break;
      }
      case 3:  // the callee of the latest dial answers or refuses
      case 4:
        if (!world.dials().empty()) {
          sim_conn& d = *world.dials().back();
          if (d.connect_error == -1) {
            sim_world::finish_connect(d, (op & 0x0f) == 3 ? 0 : ECONNREFUSED);
            if ((op & 0x0f) == 3) calls.push_back(world.dials().back());
            // The callee of an encrypted dial answers inside its session.
            if ((op & 0x0f) == 3 && ms->peer_tls && obs.peers.size() < 8) {
              obs.peers.emplace_back(calls.back(),
                                     new sim_tls_peer(files->tls, calls.back(), true));
            }
          }
        }
        break;
      case 5: {  // peer bytes (the answer byte first on an outgoing call); with the top bit of
                 // the count, inside the session of an encrypted call
        auto c = pick_call(calls, in.byte());
        uint8_t count = in.byte();
        std::string bytes = in.bytes(count % 64 + 1);
        bool sent = false;
        for (auto& [conn, peer] : obs.peers) {
          if (conn == c && (count & 0x80) != 0) sent = peer->send(bytes);
        }
        if (c != nullptr && !c->eof && !sent) c->send(bytes);
        break;
      }
      case 6: {  // the peer closes or resets
        auto c = pick_call(calls, in.byte());
        if (c != nullptr) {
          if ((in.byte() & 1) != 0) {
            c->reset();
          } else {
            c->close();
          }
        }
        break;
      }
      case 7: {  // a write that would block (room 0) or that fits only partly
        uint8_t target = in.byte();
        size_t room = in.byte() % 8;
        if ((target & 1) != 0) {
          dte.room = room;
        } else if (auto c = pick_call(calls, target >> 1)) {
          c->room = room;
        }
        break;
      }
      case 8: {  // the blocked side drains
        dte.room = SIZE_MAX;
        for (auto& c : calls) c->room = SIZE_MAX;
        break;
      }
      case 9:  // time passes
        running = runner.run_for(time_steps[in.byte() % std::size(time_steps)]);
        then_pass = false;
        break;
      case 10:  // the DTE's DTR changes
        world.dte_dtr = !world.dte_dtr;
        break;
      case 11:  // SIGUSR1
        ms->status_request = 1;
        break;
      case 12:  // termination
        ms->term_signal = SIGTERM;
        break;
      case 13:  // the next socket or connect fails
        if ((in.byte() & 1) != 0) {
          world.socket_error_next = EMFILE;
        } else {
          world.connect_error_next = ENETUNREACH;
        }
        break;
      case 14:  // the modem lines cannot be read, or the serial line fails or hangs up
        switch (in.byte() % 3) {
          case 0:
            world.modem_get_error = world.modem_get_error == 0 ? EIO : 0;
            break;
          case 1:
            dte.read_error = EIO;
            break;
          default:
            dte.eof = true;
            break;
        }
        break;
      default:  // one more pass
        break;
    }
    if (running && then_pass) running = runner.pass();
  }
  obs.peers.clear();
  use_system_calls(previous);
  subst_clear(ms->subst_table, ms->subst_count);
  ms.reset();
  ls.reset();
  check(world.open_fds().empty(), "the record closes all it holds");
  log_set_threshold(nullptr);
  return 0;
}
