// The practical limit of this machine for a Modbus TCP server: one thread, one epoll loop, the
// registers a plain array, function codes 3, 6 and 16 with their exception answers. Nothing else
// (no hooks, no ranges, no lock) so every cost left is the kernel's.
//
//   limit_server PORT [REGISTERS]
// Listens on 127.0.0.1:PORT, prints "ready" and serves until its standard input closes. With
// LIMIT_TRACE_FILE set, it stamps each wake-up that served a request as Holdbank's traced build does
// (woken, received, sent, on CLOCK_MONOTONIC; see bench/request_breakdown.py) and writes the stamps
// to that file when it stops.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_map>
#include <vector>

namespace {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;

void put16(u8* p, u32 v) {
  p[0] = static_cast<u8>(v >> 8);
  p[1] = static_cast<u8>(v);
}
u16 get16(const u8* p) { return static_cast<u16>((p[0] << 8) | p[1]); }

std::vector<u16> g_regs;

// The stamps of the wake-ups that served a request, when tracing.
struct Stamp {
  long tx;
  std::uint64_t woken, received, sent;
};
bool g_tracing = false;
Stamp g_stamp{};
std::vector<Stamp> g_stamps;

std::uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

void write_stamps() {
  const char* path = std::getenv("LIMIT_TRACE_FILE");
  if (!g_tracing || !path) return;
  if (std::FILE* f = std::fopen(path, "w")) {
    std::fprintf(f, "tx_id woken received sent\n");
    for (const Stamp& s : g_stamps)
      std::fprintf(f, "%ld %llu %llu %llu\n", s.tx, static_cast<unsigned long long>(s.woken),
                   static_cast<unsigned long long>(s.received), static_cast<unsigned long long>(s.sent));
    std::fclose(f);
  }
}

struct Conn {
  int fd;
  std::vector<u8> in;  // bytes [0, in_len) not yet consumed
  std::size_t in_len = 0;
  std::vector<u8> out;  // answers not yet sent: [out_off, out.size())
  std::size_t out_off = 0;
  bool want_out = false;
};

std::size_t exception(u8* a, u8 fc, u8 code) {
  a[0] = static_cast<u8>(fc | 0x80);
  a[1] = code;
  return 2;
}

// Writes the answer PDU for `pdu` at `a`; returns its length.
std::size_t execute(const u8* pdu, std::size_t len, u8* a) {
  const u8 fc = pdu[0];
  const std::size_t size = g_regs.size();
  switch (fc) {
    case 3: {
      if (len != 5) return exception(a, fc, 3);
      const u32 start = get16(pdu + 1), count = get16(pdu + 3);
      if (count < 1 || count > 125) return exception(a, fc, 3);
      if (start + count > size) return exception(a, fc, 2);
      a[0] = 3;
      a[1] = static_cast<u8>(2 * count);
      for (u32 i = 0; i < count; ++i) put16(a + 2 + 2 * i, g_regs[start + i]);
      return 2 + 2 * count;
    }
    case 6: {
      if (len != 5) return exception(a, fc, 3);
      const u32 addr = get16(pdu + 1);
      if (addr >= size) return exception(a, fc, 2);
      g_regs[addr] = get16(pdu + 3);
      std::memcpy(a, pdu, 5);
      return 5;
    }
    case 16: {
      if (len < 6) return exception(a, fc, 3);
      const u32 start = get16(pdu + 1), count = get16(pdu + 3);
      if (count < 1 || count > 123 || pdu[5] != 2 * count || len != 6 + 2 * count) return exception(a, fc, 3);
      if (start + count > size) return exception(a, fc, 2);
      for (u32 i = 0; i < count; ++i) g_regs[start + i] = get16(pdu + 6 + 2 * i);
      std::memcpy(a, pdu, 5);
      return 5;
    }
    default:
      return exception(a, fc, 1);
  }
}

bool flush(Conn& c) {
  while (c.out_off < c.out.size()) {
    const ssize_t n = send(c.fd, c.out.data() + c.out_off, c.out.size() - c.out_off, MSG_NOSIGNAL);
    if (n > 0) {
      c.out_off += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    } else {
      return false;
    }
  }
  c.out.clear();
  c.out_off = 0;
  return true;
}

// One receive, then every whole frame it completed, then one send for all their answers.
bool serve(Conn& c) {
  if (c.in.size() - c.in_len < 512) c.in.resize(c.in.size() < 4096 ? 4096 : 2 * c.in.size());
  const ssize_t n = recv(c.fd, c.in.data() + c.in_len, c.in.size() - c.in_len, 0);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  c.in_len += static_cast<std::size_t>(n);
  if (g_tracing) g_stamp.received = now_ns();
  std::size_t pos = 0;
  while (c.in_len - pos >= 7) {
    const u8* h = c.in.data() + pos;
    const std::size_t length = get16(h + 4);
    if (length < 2 || get16(h + 2) != 0) return false;
    if (c.in_len - pos < 6 + length) break;
    const std::size_t at = c.out.size();
    c.out.resize(at + 7 + 256);
    u8* a = c.out.data() + at;
    const std::size_t pdu = execute(h + 7, length - 1, a + 7);
    std::memcpy(a, h, 4);  // transaction and protocol identifiers
    put16(a + 4, static_cast<u32>(pdu + 1));
    a[6] = h[6];
    c.out.resize(at + 7 + pdu);
    if (g_tracing) g_stamp.tx = get16(h);
    pos += 6 + length;
  }
  if (pos) {
    std::memmove(c.in.data(), c.in.data() + pos, c.in_len - pos);
    c.in_len -= pos;
  }
  const bool ok = flush(c);
  if (g_tracing && g_stamp.tx >= 0) {
    g_stamp.sent = now_ns();
    g_stamps.push_back(g_stamp);
    g_stamp.tx = -1;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: limit_server PORT [REGISTERS]\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  g_regs.assign(argc > 2 ? static_cast<std::size_t>(std::atoi(argv[2])) : 1000, 0);
  g_tracing = std::getenv("LIMIT_TRACE_FILE") != nullptr;
  if (g_tracing) g_stamps.reserve(1 << 20);
  rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }

  const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<u16>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || listen(lfd, 4096) < 0) {
    std::perror("limit_server: listen");
    return 1;
  }
  const int ep = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = lfd;
  epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
  ev.data.fd = 0;  // standard input: its end is the signal to stop
  epoll_ctl(ep, EPOLL_CTL_ADD, 0, &ev);
  std::printf("ready\n");
  std::fflush(stdout);

  std::unordered_map<int, std::unique_ptr<Conn>> conns;
  std::vector<epoll_event> evs(512);
  for (;;) {
    const int n = epoll_wait(ep, evs.data(), static_cast<int>(evs.size()), -1);
    if (g_tracing) g_stamp = Stamp{-1, now_ns(), 0, 0};
    if (n < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    for (int i = 0; i < n; ++i) {
      const int fd = evs[static_cast<std::size_t>(i)].data.fd;
      if (fd == 0) {
        char b[256];
        if (read(0, b, sizeof b) <= 0) {
          write_stamps();
          return 0;
        }
        continue;
      }
      if (fd == lfd) {
        for (;;) {
          const int cfd = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
          if (cfd < 0) break;
          setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          auto c = std::make_unique<Conn>();
          c->fd = cfd;
          epoll_event cev{};
          cev.events = EPOLLIN;
          cev.data.fd = cfd;
          epoll_ctl(ep, EPOLL_CTL_ADD, cfd, &cev);
          conns[cfd] = std::move(c);
        }
        continue;
      }
      auto it = conns.find(fd);
      if (it == conns.end()) continue;
      Conn& c = *it->second;
      bool ok = true;
      if (evs[static_cast<std::size_t>(i)].events & EPOLLOUT) ok = flush(c);
      if (ok && (evs[static_cast<std::size_t>(i)].events & (EPOLLIN | EPOLLERR | EPOLLHUP))) ok = serve(c);
      if (!ok) {
        close(fd);
        conns.erase(it);
        continue;
      }
      const bool want_out = c.out_off < c.out.size();
      if (want_out != c.want_out) {
        c.want_out = want_out;
        epoll_event cev{};
        cev.events = want_out ? EPOLLOUT : EPOLLIN;  // no more reading until the answers are out
        cev.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_MOD, fd, &cev);
      }
    }
  }
}
