#include "loop_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "at/sreg_table.h"
#include "platform/log.h"
#include "platform/sockets.h"

namespace {

fake_lines current_lines;

void reset_lines() {
  current_lines.dte_dtr = true;
  current_lines.modem_dtr = false;
  current_lines.fail_get = false;
  current_lines.get_calls = 0;
}

int fake_ioctl(int, unsigned long request, int* bits) {
  if (request == TIOCMGET) {
    current_lines.get_calls++;
    if (current_lines.fail_get) {
      errno = EIO;
      return -1;
    }
    *bits = current_lines.dte_dtr ? TIOCM_CAR : 0;
    return 0;
  }
  if ((*bits & TIOCM_DTR) != 0) current_lines.modem_dtr = request == TIOCMBIS;
  return 0;
}

void set_nonblock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

sockaddr_in loopback_addr(const char* text, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, text, &addr.sin_addr);
  return addr;
}

// A listening socket on 127.0.0.1 and a free port; stores the port in *port.
unique_fd loopback_listener(uint16_t* port) {
  unique_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr = loopback_addr("127.0.0.1", 0);
  EXPECT_EQ(bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(listen(sock.get(), 8), 0);
  socklen_t len = sizeof addr;
  getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return sock;
}

std::string read_available(int fd, bool* eof = nullptr) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 && eof != nullptr) *eof = true;
    return out;
  }
}

}  // namespace

loop_fixture::loop_fixture()
    : ms_(std::make_unique<modem_state>()),
      ls_(std::make_unique<loop_state>()),
      previous_ioctl_(set_modem_ioctl(fake_ioctl)) {
  reset_lines();
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
  set_nonblock(sv[0]);
  set_nonblock(sv[1]);
  ms_->serial_fd.reset(sv[0]);
  dte_.reset(sv[1]);
  ms_->paths = paths_under_root(dir_.path().c_str());
  ms_->settings = sample_modem_settings();
  modem_settings& s = ms_->settings;
  s.baudrate = 115200;
  s.sreg_split = 0;  // each serial read is forwarded in its own pass unless a test says otherwise
  sreg_table_fill(*ms_);
  recompute_timers(*ms_);
  s.sysloglev = 8;
  log_set_threshold(&s.sysloglev);
  ls_->connect_code = RESULT_CONNECT_115200;
}

loop_fixture::~loop_fixture() {
  set_modem_ioctl(previous_ioctl_);
  log_set_threshold(nullptr);
}

fake_lines& loop_fixture::lines() { return current_lines; }

void loop_fixture::configure(const std::function<void(modem_settings&)>& change) {
  change(ms_->settings);
  recompute_timers(*ms_);
}

int loop_fixture::connect_call() {
  unique_fd listener(open_listen_socket(0));
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  peer_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  connect(peer_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  set_nonblock(peer_.get());
  uint32_t caller = 0;
  unique_fd conn(accept_connection(listener.get(), &caller));
  ms_->peer_addr = caller;
  ms_->call_state = CALL_RINGING;
  go_online(*ms_, *ls_, ls_->connect_code, &conn, read_clocks());
  return peer_.get();
}

bool loop_fixture::run_until(const std::function<bool()>& done, double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    event_loop_pass(*ms_, *ls_);
  }
  return true;
}

void loop_fixture::run_for(double seconds) {
  run_until([] { return false; }, seconds);
}

void loop_fixture::run_with(const std::function<void()>& script) {
  std::atomic<bool> finished = false;
  std::thread runner([&] {
    script();
    finished = true;
  });
  while (!finished) event_loop_pass(*ms_, *ls_);
  runner.join();
}

uint16_t loop_fixture::listen_for_calls() {
  uint16_t port = 0;
  ms_->listen_sock = loopback_listener(&port);
  return port;
}

unique_fd loop_fixture::connect_caller(const char* source) {
  sockaddr_in target{};
  socklen_t len = sizeof target;
  getsockname(ms_->listen_sock.get(), reinterpret_cast<sockaddr*>(&target), &len);
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  unique_fd caller(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in from = loopback_addr(source, 0);
  EXPECT_EQ(bind(caller.get(), reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  EXPECT_EQ(connect(caller.get(), reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
  set_nonblock(caller.get());
  return caller;
}

unique_fd loop_fixture::listen_as_callee() {
  uint16_t port = 0;
  unique_fd listener = loopback_listener(&port);
  ms_->settings.port = port;
  return listener;
}

void loop_fixture::type_line(const std::string& line) {
  dte_write(line + static_cast<char>(ms_->settings.sreg_cr));
}

void loop_fixture::dte_write(const std::string& bytes) {
  ASSERT_EQ(write(dte_.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string loop_fixture::dte_read() { return read_available(dte_.get()); }

void loop_fixture::peer_write(const std::string& bytes) {
  ASSERT_EQ(write(peer_.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::string loop_fixture::peer_read() { return read_available(peer_.get()); }

bool loop_fixture::peer_closed() {
  bool eof = false;
  read_available(peer_.get(), &eof);
  return eof;
}
