// Load generator for Modbus TCP servers on this machine: C masters on one epoll loop, either each
// in a closed loop (send one request, wait for the whole answer, send the next) or polling at a
// fixed rate. Every answer is checked; at the end each master reads back what it wrote. Prints one
// JSON line. It only ever connects to 127.0.0.1 and ends by itself: every phase has a deadline.
//
//   loadgen --port P [--mode closed|poll] [--masters C] [--mix read|write|write1|mix]
//           [--read-count N] [--write-count M] [--warmup S] [--duration S] [--rate R]
//           [--size REGISTERS] [--server-pid PID] [--connect-parallel K]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <functional>
#include <map>
#include <queue>
#include <string>
#include <vector>

namespace {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

constexpr u8 kUnit = 1;
constexpr std::size_t kBuf = 512;  // largest frame either way is 260 bytes
constexpr u64 kSecond = 1000000000ull;

u64 now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<u64>(ts.tv_sec) * kSecond + static_cast<u64>(ts.tv_nsec);
}

[[noreturn]] void die(const char* what) {
  std::printf("{\"error\": \"%s: %s\"}\n", what, std::strerror(errno));
  std::exit(2);
}

void put16(u8* p, u32 v) {
  p[0] = static_cast<u8>(v >> 8);
  p[1] = static_cast<u8>(v);
}
u16 get16(const u8* p) { return static_cast<u16>((p[0] << 8) | p[1]); }

struct Options {
  int port = 0;
  std::string mode = "closed";
  int masters = 1;
  std::string mix = "read";
  int read_count = 100;
  int write_count = 10;
  double warmup = 0.5;
  double duration = 1.5;
  double rate = 10.0;  // requests per second per master, poll mode
  int size = 1000;
  int server_pid = 0;
  int connect_parallel = 4;  // below the listen backlog of socketserver's default (5)
  double connect_timeout = 20.0;
  double drain = 1.0;
};

enum class Kind : u8 { Read, WriteMany, WriteOne, Handshake, Readback };

enum class State : u8 { Waiting, Connecting, Handshake, Idle, Busy, Readback, Done, Dead };

struct Master {
  int fd = -1;
  int id = 0;
  State state = State::Waiting;
  Kind kind = Kind::Read;
  u16 tx = 0;
  u32 seq = 0;
  u64 sent = 0;      // closed loop: when the request went out; poll: when it was due
  u64 next_due = 0;  // poll mode
  u16 expect_len = 0;  // the answer's MBAP length field
  u16 echo_a = 0, echo_b = 0;
  u16 base = 0;  // first register of this master's own write region
  u16 shadow[128];
  u16 written = 0;  // registers of the region [base, base + written) hold shadow values
  bool wrote_one = false;
  u8 in[kBuf];
  std::size_t in_len = 0;
  u8 out[kBuf];
  std::size_t out_len = 0, out_off = 0;
};

// Counters of the measured window.
struct Window {
  u64 answered = 0;   // closed: answers received in the window; poll: answers to requests due in it
  u64 scheduled = 0;  // poll: requests due in the window (sent or skipped because the last was late)
  std::vector<u32> lat;
};

struct ProcSample {
  bool ok = false;
  double cpu_s = 0;
  long rss_kb = 0;
  long voluntary = 0, nonvoluntary = 0;  // context switches, summed over the live threads
  int threads = 0;
};

bool read_file(const std::string& path, std::string& out) {
  FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return false;
  char buf[4096];
  out.clear();
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return true;
}

// The number after "name" at the start of a line ("voluntary_ctxt_switches:" is also the end of
// "nonvoluntary_ctxt_switches:").
long status_field(const std::string& status, const char* name) {
  const std::size_t len = std::strlen(name);
  for (std::size_t p = status.find(name); p != std::string::npos; p = status.find(name, p + 1))
    if (p == 0 || status[p - 1] == '\n') return std::strtol(status.c_str() + p + len, nullptr, 10);
  return 0;
}

// CPU time, resident memory and context switches of the server process, from /proc.
ProcSample sample_proc(int pid) {
  ProcSample s;
  if (pid <= 0) return s;
  std::string text;
  const std::string dir = "/proc/" + std::to_string(pid);
  if (!read_file(dir + "/stat", text)) return s;
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return s;
  // Fields after the command name start at field 3 (state); utime and stime are fields 14, 15.
  const char* p = text.c_str() + close + 2;
  unsigned long long utime = 0, stime = 0;
  for (int field = 3; field <= 15 && *p; ++field) {
    if (field == 14) utime = std::strtoull(p, nullptr, 10);
    if (field == 15) stime = std::strtoull(p, nullptr, 10);
    p = std::strchr(p, ' ');
    if (!p) break;
    ++p;
  }
  s.cpu_s = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  if (read_file(dir + "/status", text)) {
    s.rss_kb = status_field(text, "VmRSS:");
    s.threads = static_cast<int>(status_field(text, "Threads:"));
  }
  if (DIR* d = opendir((dir + "/task").c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      if (read_file(dir + "/task/" + e->d_name + "/status", text)) {
        s.voluntary += status_field(text, "voluntary_ctxt_switches:");
        s.nonvoluntary += status_field(text, "nonvoluntary_ctxt_switches:");
      }
    }
    closedir(d);
  }
  s.ok = true;
  return s;
}

double self_cpu_s() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

class LoadGen {
 public:
  explicit LoadGen(const Options& o) : o_(o) {}

  int run();

 private:
  // Requests.
  void build_request(Master& m, Kind kind);
  Kind next_kind(Master& m);
  void send_request(Master& m, Kind kind, u64 stamp);
  void flush(Master& m);
  // Answers.
  void on_readable(Master& m);
  bool check_answer(Master& m, std::size_t total);
  void on_answer(Master& m, u64 t);
  // Connections.
  void open_next();
  void on_connected(Master& m);
  void fail(Master& m, const char* kind);
  void watch(Master& m, u32 events, bool add);
  // Time.
  void arm(u64 t);
  void poll_due(u64 t);
  void schedule_next(Master& m, u64 t);

  const Options& o_;
  std::vector<Master> ms_;
  int ep_ = -1, tfd_ = -1;
  u64 armed_ = 0;
  int next_open_ = 0, opening_ = 0, established_ = 0, busy_ = 0;
  enum class Phase { Connect, Run, Drain, Readback, End } phase_ = Phase::Connect;
  u64 t_measure_ = 0, t_end_ = 0;
  bool measuring_ = false;
  Window w_;
  u64 period_ = 0;
  std::priority_queue<std::pair<u64, int>, std::vector<std::pair<u64, int>>, std::greater<>> due_;
  std::map<std::string, u64> errors_;
  u64 readback_checked_ = 0, readback_bad_ = 0;
};

void LoadGen::watch(Master& m, u32 events, bool add) {
  epoll_event ev{};
  ev.events = events;
  ev.data.u32 = static_cast<u32>(m.id);
  if (epoll_ctl(ep_, add ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, m.fd, &ev) < 0) die("epoll_ctl");
}

void LoadGen::fail(Master& m, const char* kind) {
  ++errors_[kind];
  if (m.state == State::Busy || m.state == State::Readback || m.state == State::Handshake) --busy_;
  if (m.state == State::Connecting || m.state == State::Handshake) --opening_;
  if (m.fd >= 0) close(m.fd);
  m.fd = -1;
  m.state = State::Dead;
}

// Each master writes only its own registers, so at the end every value it wrote must read back.
void LoadGen::build_request(Master& m, Kind kind) {
  u8* p = m.out;
  m.tx = static_cast<u16>(m.tx + 1);
  put16(p, m.tx);
  put16(p + 2, 0);
  p[6] = kUnit;
  u8* q = p + 7;
  std::size_t pdu = 0;
  switch (kind) {
    case Kind::Read:
    case Kind::Handshake:
    case Kind::Readback: {
      const u16 start = kind == Kind::Readback ? m.base : 0;
      const u16 count = kind == Kind::Read ? static_cast<u16>(o_.read_count)
                        : kind == Kind::Handshake ? 1
                                                  : static_cast<u16>(o_.write_count + 1);
      q[0] = 3;
      put16(q + 1, start);
      put16(q + 3, count);
      pdu = 5;
      m.expect_len = static_cast<u16>(3 + 2 * count);
      m.echo_a = static_cast<u16>(2 * count);  // byte count
      break;
    }
    case Kind::WriteMany: {
      const int n = o_.write_count;
      q[0] = 16;
      put16(q + 1, m.base);
      put16(q + 3, static_cast<u32>(n));
      q[5] = static_cast<u8>(2 * n);
      for (int i = 0; i < n; ++i) {
        const u16 v = static_cast<u16>(m.id * 7919u + m.seq * 31u + static_cast<u32>(i));
        m.shadow[i] = v;
        put16(q + 6 + 2 * i, v);
      }
      pdu = 6 + 2 * static_cast<std::size_t>(n);
      m.expect_len = 6;
      m.echo_a = m.base;
      m.echo_b = static_cast<u16>(n);
      break;
    }
    case Kind::WriteOne: {
      const u16 addr = static_cast<u16>(m.base + o_.write_count);
      const u16 v = static_cast<u16>(m.id * 104729u + m.seq * 17u);
      m.shadow[o_.write_count] = v;
      q[0] = 6;
      put16(q + 1, addr);
      put16(q + 3, v);
      pdu = 5;
      m.expect_len = 6;
      m.echo_a = addr;
      m.echo_b = v;
      break;
    }
  }
  put16(p + 4, static_cast<u32>(pdu + 1));
  m.kind = kind;
  m.out_len = 7 + pdu;
  m.out_off = 0;
  ++m.seq;
}

Kind LoadGen::next_kind(Master& m) {
  if (o_.mix == "read") return Kind::Read;
  if (o_.mix == "write") return Kind::WriteMany;
  if (o_.mix == "write1") return Kind::WriteOne;
  static const Kind cycle[3] = {Kind::Read, Kind::WriteMany, Kind::WriteOne};
  return cycle[m.seq % 3];
}

void LoadGen::send_request(Master& m, Kind kind, u64 stamp) {
  build_request(m, kind);
  m.sent = stamp;
  m.in_len = 0;
  if (kind == Kind::Handshake)
    m.state = State::Handshake;
  else if (kind == Kind::Readback)
    m.state = State::Readback;
  else
    m.state = State::Busy;
  ++busy_;
  flush(m);
}

void LoadGen::flush(Master& m) {
  while (m.out_off < m.out_len) {
    const ssize_t n = send(m.fd, m.out + m.out_off, m.out_len - m.out_off, MSG_NOSIGNAL);
    if (n > 0) {
      m.out_off += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      watch(m, EPOLLIN | EPOLLOUT, false);  // the rest goes out when the socket has room
      return;
    }
    fail(m, "send failed");
    return;
  }
}

// Checks a whole answer frame against the one outstanding request.
bool LoadGen::check_answer(Master& m, std::size_t total) {
  const u8* p = m.in;
  if (total != m.in_len) return fail(m, "bytes beyond the answer"), false;
  if (get16(p) != m.tx) return fail(m, "wrong transaction id"), false;
  if (get16(p + 2) != 0) return fail(m, "wrong protocol id"), false;
  if (p[6] != kUnit) return fail(m, "wrong unit id"), false;
  const u8* q = p + 7;
  const u8 fc = m.kind == Kind::WriteMany ? 16 : m.kind == Kind::WriteOne ? 6 : 3;
  if (q[0] == (fc | 0x80)) return fail(m, "exception answer"), false;
  if (q[0] != fc) return fail(m, "wrong function code"), false;
  if (get16(p + 4) != m.expect_len) return fail(m, "wrong length"), false;
  if (fc == 3) {
    if (q[1] != m.echo_a) return fail(m, "wrong byte count"), false;
  } else if (get16(q + 1) != m.echo_a || get16(q + 3) != m.echo_b) {
    return fail(m, "wrong echo"), false;
  }
  return true;
}

void LoadGen::on_readable(Master& m) {
  for (;;) {
    const ssize_t n = recv(m.fd, m.in + m.in_len, kBuf - m.in_len, 0);
    if (n > 0) {
      m.in_len += static_cast<std::size_t>(n);
      break;
    }
    if (n == 0) return fail(m, "connection closed by the server");
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    return fail(m, "receive failed");
  }
  if (m.state != State::Busy && m.state != State::Handshake && m.state != State::Readback)
    return fail(m, "answer without a request");
  if (m.in_len < 7) return;
  const std::size_t total = 6 + get16(m.in + 4);
  if (total > kBuf || total < 8) return fail(m, "bad length field");
  if (m.in_len < total) return;
  const u64 t = now_ns();
  if (!check_answer(m, total)) return;
  m.in_len = 0;
  --busy_;
  on_answer(m, t);
}

void LoadGen::on_answer(Master& m, u64 t) {
  switch (m.state) {
    case State::Handshake:
      m.state = State::Idle;
      --opening_;
      ++established_;
      return;
    case State::Readback: {
      const u8* v = m.in + 9;
      for (int i = 0; i < o_.write_count; ++i) {
        if (i >= m.written) break;
        ++readback_checked_;
        if (get16(v + 2 * i) != m.shadow[i]) ++readback_bad_;
      }
      if (m.wrote_one) {
        ++readback_checked_;
        if (get16(v + 2 * o_.write_count) != m.shadow[o_.write_count]) ++readback_bad_;
      }
      m.state = State::Done;
      return;
    }
    case State::Busy:
      break;
    default:
      return;
  }
  if (m.kind == Kind::WriteMany) m.written = static_cast<u16>(o_.write_count);
  if (m.kind == Kind::WriteOne) m.wrote_one = true;
  m.state = State::Idle;
  const bool poll = period_ != 0;
  if (poll) {
    if (m.sent >= t_measure_ && m.sent < t_end_) {
      ++w_.answered;
      const u64 lat = t - m.sent;
      w_.lat.push_back(static_cast<u32>(std::min<u64>(lat, UINT32_MAX)));
    }
    schedule_next(m, t);
    return;
  }
  if (t >= t_measure_ && t < t_end_) {
    ++w_.answered;
    const u64 lat = t - m.sent;
    w_.lat.push_back(static_cast<u32>(std::min<u64>(lat, UINT32_MAX)));
  }
  if (phase_ == Phase::Run && t < t_end_) send_request(m, next_kind(m), t);
}

// Poll mode: the next request is due one period after the last; slots that passed while the
// master waited for a late answer are counted as not answered, and latency runs from the due time.
void LoadGen::schedule_next(Master& m, u64 t) {
  u64 next = m.next_due + period_;
  while (next + period_ <= t && next < t_end_) {
    if (next >= t_measure_) ++w_.scheduled;
    next += period_;
  }
  m.next_due = next;
  if (next >= t_end_) return;
  if (phase_ != Phase::Run) {  // due before the end but no longer sent: not answered
    if (next >= t_measure_) ++w_.scheduled;
    return;
  }
  if (next <= t) {
    if (next >= t_measure_) ++w_.scheduled;
    send_request(m, next_kind(m), next);
  } else {
    due_.push({next, m.id});
  }
}

void LoadGen::poll_due(u64 t) {
  while (!due_.empty() && due_.top().first <= t) {
    const int id = due_.top().second;
    due_.pop();
    Master& m = ms_[static_cast<std::size_t>(id)];
    if (m.state != State::Idle) continue;
    if (m.next_due >= t_measure_ && m.next_due < t_end_) ++w_.scheduled;
    send_request(m, next_kind(m), m.next_due);
  }
}

void LoadGen::open_next() {
  while (opening_ < o_.connect_parallel && next_open_ < o_.masters) {
    Master& m = ms_[static_cast<std::size_t>(next_open_++)];
    m.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m.fd < 0) die("socket");
    const int one = 1;
    setsockopt(m.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u16>(o_.port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // 127.0.0.1 and nothing else
    ++opening_;
    m.state = State::Connecting;
    if (connect(m.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      watch(m, EPOLLIN, true);
      on_connected(m);
    } else if (errno == EINPROGRESS) {
      watch(m, EPOLLOUT, true);
    } else {
      fail(m, "connect failed");
    }
  }
}

// A master counts as connected once the server answered its first request: the listener has
// then accepted it, so at most connect_parallel connections ever wait in its backlog.
void LoadGen::on_connected(Master& m) {
  int err = 0;
  socklen_t len = sizeof err;
  getsockopt(m.fd, SOL_SOCKET, SO_ERROR, &err, &len);
  if (err != 0) return fail(m, "connect failed");
  watch(m, EPOLLIN, false);
  send_request(m, Kind::Handshake, now_ns());
}

void LoadGen::arm(u64 t) {
  if (t == armed_) return;
  armed_ = t;
  itimerspec its{};
  its.it_value.tv_sec = static_cast<time_t>(t / kSecond);
  its.it_value.tv_nsec = static_cast<long>(t % kSecond);
  if (timerfd_settime(tfd_, TFD_TIMER_ABSTIME, &its, nullptr) < 0) die("timerfd_settime");
}

std::string pct(std::vector<u32>& v, double q) {
  if (v.empty()) return "null";
  const std::size_t k = std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v[k] / 1000.0);
  return buf;
}

std::string json_escape(const std::string& s) {
  std::string o;
  for (char c : s) {
    if (c == '"' || c == '\\') o += '\\';
    o += c;
  }
  return o;
}

int LoadGen::run() {
  const bool poll = o_.mode == "poll";
  const bool writes = o_.mix != "read";
  if (writes && o_.masters * (o_.write_count + 1) > o_.size) {
    std::printf("{\"error\": \"%d masters need %d registers for their own write regions; the bank has %d\"}\n",
                o_.masters, o_.masters * (o_.write_count + 1), o_.size);
    return 2;
  }
  // One descriptor per master: raise the soft limit as far as the hard limit allows.
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  ms_.resize(static_cast<std::size_t>(o_.masters));
  for (int i = 0; i < o_.masters; ++i) {
    ms_[static_cast<std::size_t>(i)].id = i;
    ms_[static_cast<std::size_t>(i)].base = static_cast<u16>(writes ? i * (o_.write_count + 1) : 0);
  }
  ep_ = epoll_create1(EPOLL_CLOEXEC);
  tfd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (ep_ < 0 || tfd_ < 0) die("epoll/timerfd");
  {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = UINT32_MAX;
    if (epoll_ctl(ep_, EPOLL_CTL_ADD, tfd_, &ev) < 0) die("epoll_ctl timerfd");
  }
  w_.lat.reserve(1 << 20);

  const ProcSample before_connect = sample_proc(o_.server_pid);
  const u64 t_start = now_ns();
  u64 deadline = t_start + static_cast<u64>(o_.connect_timeout * 1e9);
  u64 t_connected = 0;
  ProcSample at_measure, at_end;
  double self_at_measure = 0, self_at_end = 0;
  long rss_connected = 0;
  u64 t_run = 0;

  std::vector<epoll_event> evs(1024);
  open_next();
  arm(deadline);
  while (phase_ != Phase::End) {
    const int n = epoll_wait(ep_, evs.data(), static_cast<int>(evs.size()), -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("epoll_wait");
    }
    for (int i = 0; i < n; ++i) {
      const u32 id = evs[static_cast<std::size_t>(i)].data.u32;
      if (id == UINT32_MAX) {
        u64 expirations;
        while (read(tfd_, &expirations, sizeof expirations) > 0) {
        }
        armed_ = 0;
        continue;
      }
      Master& m = ms_[id];
      if (m.state == State::Dead) continue;
      const u32 e = evs[static_cast<std::size_t>(i)].events;
      if (m.state == State::Connecting) {
        if (e & (EPOLLOUT | EPOLLERR | EPOLLHUP)) on_connected(m);
        continue;
      }
      if (e & EPOLLOUT) {
        flush(m);
        if (m.state != State::Dead && m.out_off == m.out_len) watch(m, EPOLLIN, false);
      }
      if (m.state != State::Dead && (e & (EPOLLIN | EPOLLERR | EPOLLHUP))) on_readable(m);
    }
    const u64 t = now_ns();
    switch (phase_) {
      case Phase::Connect:
        open_next();
        if (opening_ == 0 && next_open_ == o_.masters) {
          if (established_ == 0) {
            std::printf("{\"error\": \"no master could connect to 127.0.0.1:%d\"}\n", o_.port);
            return 2;
          }
          t_connected = t;
          rss_connected = sample_proc(o_.server_pid).rss_kb;
          phase_ = Phase::Run;
          t_run = now_ns();
          t_measure_ = t_run + static_cast<u64>(o_.warmup * 1e9);
          t_end_ = t_measure_ + static_cast<u64>(o_.duration * 1e9);
          if (poll) {
            period_ = static_cast<u64>(1e9 / o_.rate);
            // Spread the masters' first requests evenly over one period.
            for (Master& mm : ms_) {
              if (mm.state != State::Idle) continue;
              mm.next_due = t_run + period_ * static_cast<u64>(mm.id) / static_cast<u64>(o_.masters);
              due_.push({mm.next_due, mm.id});
            }
          } else {
            for (Master& mm : ms_)
              if (mm.state == State::Idle) send_request(mm, next_kind(mm), now_ns());
          }
        } else if (t >= deadline) {
          std::printf("{\"error\": \"connecting %d masters took longer than %.0f s (%d connected)\"}\n",
                      o_.masters, o_.connect_timeout, established_);
          return 2;
        }
        break;
      case Phase::Run:
        if (poll) poll_due(t);
        if (!measuring_ && t >= t_measure_) {
          measuring_ = true;
          at_measure = sample_proc(o_.server_pid);
          self_at_measure = self_cpu_s();
        }
        if (t >= t_end_) {
          at_end = sample_proc(o_.server_pid);
          self_at_end = self_cpu_s();
          phase_ = Phase::Drain;
          deadline = t + static_cast<u64>(o_.drain * 1e9);
        }
        break;
      case Phase::Drain:
      case Phase::Readback:
        break;
      case Phase::End:
        break;
    }
    if (phase_ == Phase::Drain && (busy_ == 0 || t >= deadline)) {
      for (Master& mm : ms_)
        if (mm.state == State::Busy) fail(mm, "no answer by the end");
      phase_ = Phase::Readback;
      deadline = now_ns() + static_cast<u64>(std::max(o_.drain, 1.0) * 1e9);
      for (Master& mm : ms_)
        if (mm.state == State::Idle && (mm.written || mm.wrote_one))
          send_request(mm, Kind::Readback, now_ns());
    }
    if (phase_ == Phase::Readback && (busy_ == 0 || now_ns() >= deadline)) {
      for (Master& mm : ms_)
        if (mm.state == State::Readback) fail(mm, "no answer to the read-back");
      phase_ = Phase::End;
    }
    // Wake for the next phase boundary or the next due request, whichever comes first.
    u64 wake = deadline;
    if (phase_ == Phase::Run) {
      wake = measuring_ ? t_end_ : t_measure_;
      if (poll && !due_.empty()) wake = std::min(wake, due_.top().first);
    }
    if (phase_ != Phase::End) arm(std::max<u64>(wake, 1));
  }

  const double window = o_.duration;
  u64 skipped_errors = 0;
  for (auto& kv : errors_) skipped_errors += kv.second;
  int alive = 0;
  for (Master& m : ms_)
    if (m.state != State::Dead) ++alive;
  const std::string p50 = pct(w_.lat, 0.50), p90 = pct(w_.lat, 0.90), p99 = pct(w_.lat, 0.99);
  const std::string p999 = pct(w_.lat, 0.999), pmax = pct(w_.lat, 1.0);
  std::string errs = "{";
  for (auto& kv : errors_) {
    if (errs.size() > 1) errs += ", ";
    errs += "\"" + json_escape(kv.first) + "\": " + std::to_string(kv.second);
  }
  errs += "}";
  std::printf("{\"mode\": \"%s\", \"mix\": \"%s\", \"masters\": %d, \"connected\": %d, \"alive\": %d, "
              "\"read_count\": %d, \"write_count\": %d, \"warmup_s\": %.3f, \"duration_s\": %.3f, "
              "\"answered\": %" PRIu64 ", \"rps\": %.1f, "
              "\"p50_us\": %s, \"p90_us\": %s, \"p99_us\": %s, \"p999_us\": %s, \"max_us\": %s, "
              "\"errors\": %" PRIu64 ", \"error_kinds\": %s, "
              "\"readback_checked\": %" PRIu64 ", \"readback_mismatches\": %" PRIu64 ", "
              "\"connect_s\": %.3f, \"loadgen_cpu\": %.3f",
              o_.mode.c_str(), o_.mix.c_str(), o_.masters, established_, alive, o_.read_count, o_.write_count,
              o_.warmup, window, w_.answered, static_cast<double>(w_.answered) / window, p50.c_str(), p90.c_str(),
              p99.c_str(), p999.c_str(), pmax.c_str(), skipped_errors + readback_bad_, errs.c_str(), readback_checked_,
              readback_bad_, static_cast<double>(t_connected - t_start) / 1e9,
              (self_at_end - self_at_measure) / window);
  if (poll)
    std::printf(", \"rate\": %.2f, \"scheduled\": %" PRIu64 ", \"answered_share\": %.6f", o_.rate, w_.scheduled,
                w_.scheduled ? static_cast<double>(w_.answered) / static_cast<double>(w_.scheduled) : 0.0);
  if (at_measure.ok && at_end.ok) {
    const double cpu = at_end.cpu_s - at_measure.cpu_s;
    // Per answered request; a thread that ended inside the window takes its switches with it.
    const double answered = w_.answered ? static_cast<double>(w_.answered) : 1.0;
    const double vcs = static_cast<double>(at_end.voluntary - at_measure.voluntary) / answered;
    const double nvcs = static_cast<double>(at_end.nonvoluntary - at_measure.nonvoluntary) / answered;
    std::printf(", \"server_cpu\": %.3f, \"server_cpu_us_per_req\": %.2f, \"server_cs_per_req\": %.3f, "
                "\"server_vcs_per_req\": %.3f, \"server_nvcs_per_req\": %.3f, \"server_threads\": %d",
                cpu / window, w_.answered ? cpu * 1e6 / answered : 0.0, vcs + nvcs, vcs, nvcs, at_end.threads);
  }
  if (before_connect.ok)
    std::printf(", \"rss_before_kb\": %ld, \"rss_connected_kb\": %ld, \"rss_end_kb\": %ld", before_connect.rss_kb,
                rss_connected, at_end.rss_kb);
  std::printf("}\n");
  for (Master& m : ms_)
    if (m.fd >= 0) close(m.fd);
  return 0;
}

void usage() {
  std::fprintf(stderr,
               "usage: loadgen --port P [--mode closed|poll] [--masters C] [--mix read|write|write1|mix]\n"
               "               [--read-count N] [--write-count M] [--warmup S] [--duration S] [--rate R]\n"
               "               [--size REGISTERS] [--server-pid PID] [--connect-parallel K]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) usage();
    const char* v = argv[++i];
    if (a == "--port") o.port = std::atoi(v);
    else if (a == "--mode") o.mode = v;
    else if (a == "--masters") o.masters = std::atoi(v);
    else if (a == "--mix") o.mix = v;
    else if (a == "--read-count") o.read_count = std::atoi(v);
    else if (a == "--write-count") o.write_count = std::atoi(v);
    else if (a == "--warmup") o.warmup = std::atof(v);
    else if (a == "--duration") o.duration = std::atof(v);
    else if (a == "--rate") o.rate = std::atof(v);
    else if (a == "--size") o.size = std::atoi(v);
    else if (a == "--server-pid") o.server_pid = std::atoi(v);
    else if (a == "--connect-parallel") o.connect_parallel = std::atoi(v);
    else usage();
  }
  const bool mix_ok = o.mix == "read" || o.mix == "write" || o.mix == "write1" || o.mix == "mix";
  if (o.port <= 0 || o.port > 65535 || o.masters < 1 || !mix_ok || (o.mode != "closed" && o.mode != "poll") ||
      o.read_count < 1 || o.read_count > 125 || o.write_count < 1 || o.write_count > 123 || o.duration <= 0 ||
      o.warmup < 0 || o.rate <= 0 || o.connect_parallel < 1 || o.size < 1 || o.size > 65536)
    usage();
  // Bounded in time whatever happens: a stuck loop is ended by the alarm.
  alarm(static_cast<unsigned>(o.connect_timeout + o.warmup + o.duration + 4 * o.drain + 10));
  LoadGen g(o);
  return g.run();
}
