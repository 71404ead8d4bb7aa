#pragma once
// A TCP proxy on loopback that stands for a network: every byte that passes
// it, either way, is held for a fixed delay before it goes on, so that a
// round trip through it costs twice the delay however fast the machine is.
// It listens on 127.0.0.1 (an ephemeral port) and passes each connection on
// to a Unix socket (where the benchmark's server listens). Each connection
// is relayed by a thread of its own with non-blocking sockets, so that a
// side that does not read cannot stall the other direction.

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qvl::bench {

class TDelayProxy {
 public:
  using TClock = std::chrono::steady_clock;

  TDelayProxy(std::string UnixPath, std::chrono::microseconds Delay)
      : FUnixPath(std::move(UnixPath)), FDelay(Delay) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FListen < 0) throw std::runtime_error("proxy: socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(FListen, 16) != 0 ||
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &size) != 0)
      throw std::runtime_error("proxy: listen");
    FPort = ntohs(a.sin_port);
    FAcceptor = std::thread([this] { Accept(); });
  }
  ~TDelayProxy() {
    FStop = true;
    ::shutdown(FListen, SHUT_RDWR);
    FAcceptor.join();
    ::close(FListen);
    for (std::thread& t : FRelays) t.join();
  }
  TDelayProxy(const TDelayProxy&) = delete;
  TDelayProxy& operator=(const TDelayProxy&) = delete;

  int Port() const { return FPort; }
  // Round trips so far, all connections together: the times a client sent
  // something after it was last answered (or first).
  long RoundTrips() const { return FRoundTrips; }

 private:
  struct TChunk {
    TClock::time_point Due;
    std::string Bytes;
    std::size_t Sent = 0;
  };
  // One direction: bytes read from From wait in Queue until due, then go to To.
  struct TWay {
    int From, To;
    std::deque<TChunk> Queue;
    bool Eof = false;
  };

  void Accept() {
    while (!FStop) {
      const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        if (errno == EINTR) continue;
        return;
      }
      const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un u{};
      u.sun_family = AF_UNIX;
      std::strncpy(u.sun_path, FUnixPath.c_str(), sizeof u.sun_path - 1);
      if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&u), sizeof u) != 0) {
        ::close(client);
        if (server >= 0) ::close(server);
        continue;
      }
      const int one = 1;
      ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      FRelays.emplace_back([this, client, server] { Relay(client, server); });
    }
  }

  void Relay(int Client, int Server) {
    for (int fd : {Client, Server}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    TWay ways[2] = {{Client, Server, {}, false}, {Server, Client, {}, false}};
    std::vector<char> buffer(1 << 16);
    bool open = true;
    bool answered = true;  // the server spoke since the client last did
    while (open && !FStop) {
      const TClock::time_point now = TClock::now();
      // Write what is due; note the earliest that is not yet.
      TClock::time_point next = TClock::time_point::max();
      pollfd fds[4];
      int n = 0;
      for (TWay& w : ways) {
        while (!w.Queue.empty() && w.Queue.front().Due <= now) {
          TChunk& c = w.Queue.front();
          const ssize_t sent =
              ::send(w.To, c.Bytes.data() + c.Sent, c.Bytes.size() - c.Sent, MSG_NOSIGNAL);
          if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            open = false;
            break;
          }
          c.Sent += static_cast<std::size_t>(sent);
          if (c.Sent < c.Bytes.size()) break;
          w.Queue.pop_front();
        }
        if (!w.Queue.empty()) {
          if (w.Queue.front().Due <= now)
            fds[n++] = {w.To, POLLOUT, 0};
          else
            next = std::min(next, w.Queue.front().Due);
        } else if (w.Eof) {
          ::shutdown(w.To, SHUT_WR);
        }
        if (!w.Eof) fds[n++] = {w.From, POLLIN, 0};
      }
      if (ways[0].Eof && ways[1].Eof && ways[0].Queue.empty() && ways[1].Queue.empty()) break;
      if (!open) break;
      timespec wait{0, 50000000};  // wakes now and then to see FStop
      if (next != TClock::time_point::max()) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(next - now);
        wait = {static_cast<time_t>(left.count() / 1000000000),
                static_cast<long>(left.count() % 1000000000)};
      }
      if (::ppoll(fds, static_cast<nfds_t>(n), &wait, nullptr) < 0 && errno != EINTR) break;
      for (int i = 0; i < n; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0 || fds[i].events != POLLIN)
          continue;
        TWay& w = fds[i].fd == Client ? ways[0] : ways[1];
        const ssize_t got = ::recv(w.From, buffer.data(), buffer.size(), 0);
        if (got > 0) {
          if (fds[i].fd == Client && answered) ++FRoundTrips;
          answered = fds[i].fd == Server;
          w.Queue.push_back({TClock::now() + FDelay, std::string(buffer.data(), got), 0});
        } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
          w.Eof = true;
        }
      }
    }
    ::close(Client);
    ::close(Server);
  }

  std::string FUnixPath;
  std::chrono::microseconds FDelay;
  int FListen = -1;
  int FPort = 0;
  std::atomic<bool> FStop{false};
  std::atomic<long> FRoundTrips{0};
  std::thread FAcceptor;
  std::vector<std::thread> FRelays;  // touched by the acceptor only until it is joined
};

}  // namespace qvl::bench
