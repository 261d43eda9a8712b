#include "loop_fixture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "at/sreg_table.h"
#include "platform/countdown.h"
#include "platform/log.h"
#include "platform/sockets.h"

namespace {

// Passes in a row in which neither the clock nor any byte moved: the loop is spinning.
constexpr int SPIN_LIMIT = 1000;

}  // namespace

net_address ipv4(const char* text) {
  net_address addr;
  EXPECT_TRUE(net_address_parse(text, addr)) << text;
  return addr;
}

loop_fixture::loop_fixture()
    : ms_(std::make_unique<modem_state>()), ls_(std::make_unique<loop_state>()) {
  ms_->serial_fd.reset(world_.open_serial());
  ms_->paths = paths_under_root(dir_.path().c_str());
  // The world plays the name server that this configuration names.
  mkdir((dir_.path() + "/etc").c_str(), 0755);
  write_file(ms_->paths.resolv_conf, "nameserver 192.0.2.53\n");
  ms_->settings = sample_modem_settings();
  modem_settings& s = ms_->settings;
  s.baudrate = 115200;
  s.sreg_split = 0;
  recompute_timers(*ms_);
  s.sysloglev = 8;
  log_set_threshold(&s.sysloglev);
  ls_->connect_code = RESULT_CONNECT_115200;
  ls_->next_ring_time = monotonic_seconds();
}

loop_fixture::~loop_fixture() {
  log_set_threshold(nullptr);
  // The records close their descriptors into the world, which must still be there.
  ms_.reset();
}

void loop_fixture::configure(const std::function<void(modem_settings&)>& change) {
  change(ms_->settings);
  recompute_timers(*ms_);
}

std::shared_ptr<sim_conn> loop_fixture::connect_call() {
  bool had_listener = ms_->listen_sock.valid();
  if (!had_listener) listen_for_calls();
  std::shared_ptr<sim_conn> peer = call_in();
  net_address caller;
  unique_fd conn(accept_connection(ms_->listen_sock.get(), &caller));
  if (!had_listener) ms_->listen_sock.reset();
  ms_->peer_addr = caller;
  ms_->call_state = CALL_RINGING;
  link_adopt(ls_->link, std::move(conn), caller, LINK_RINGING);
  go_online(*ms_, *ls_, ls_->connect_code, true, read_clocks());
  return peer;
}

void loop_fixture::pass() {
  world_.set_horizon(-1);
  event_loop_pass(*ms_, *ls_);
}

bool loop_fixture::run_until(const std::function<bool()>& done, int64_t limit) {
  int64_t horizon = world_.now() + limit;
  int still = 0;
  while (!done()) {
    if (world_.now() >= horizon) return false;
    int64_t before = world_.now();
    uint64_t moved = world_.transfers;
    world_.set_horizon(horizon);
    event_loop_pass(*ms_, *ls_);
    still = world_.now() == before && world_.transfers == moved ? still + 1 : 0;
    if (still > SPIN_LIMIT) {
      ADD_FAILURE() << "the loop spins at " << world_.now() << " us";
      return false;
    }
  }
  return true;
}

void loop_fixture::run_for(int64_t usec) {
  run_until([] { return false; }, usec);
}

void loop_fixture::listen_for_calls() { ms_->listen_sock.reset(world_.open_listener(2000)); }

std::shared_ptr<sim_conn> loop_fixture::call_in(const char* source) {
  return world_.call_in(ipv4(source));
}

std::shared_ptr<sim_conn> loop_fixture::last_dial() const {
  return world_.dials().empty() ? nullptr : world_.dials().back();
}

void loop_fixture::type_line(const std::string& line) {
  dte_write(line + static_cast<char>(ms_->settings.sreg_cr));
}
