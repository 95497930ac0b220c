#include "io/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "io/hostname.h"

namespace OST {
namespace {

using Clock = std::chrono::steady_clock;

// What poll reports for a descriptor that a read (or accept) would not block
// on, and for one that a write (or a finished connect) would not block on:
// errors and hang-ups count, as they do for select.
constexpr short kReadReady = POLLIN | POLLHUP | POLLERR;
constexpr short kWriteReady = POLLOUT | POLLHUP | POLLERR;

std::optional<Clock::time_point> DeadlineAfter(TimeoutMs timeout) {
  return Clock::now() + std::chrono::milliseconds(timeout.value);
}

// Waits until a descriptor is ready or the deadline has passed (none: no
// limit); returns poll's count, 0 at the deadline. A signal restarts the wait
// with the time that is left.
int WaitReady(pollfd* fds, nfds_t count, const std::optional<Clock::time_point>& deadline) try {
  for (;;) {
    timespec limit{};
    if (deadline) {
      const int64_t left =
          std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now()).count());
      limit.tv_sec = static_cast<time_t>(left / 1000000000);
      limit.tv_nsec = static_cast<long>(left % 1000000000);
    }
    const int n = ppoll(fds, count, deadline ? &limit : nullptr, nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      OST_THROW(Errno("Wait on socket has failed", "poll"));
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (fds[i].revents & POLLNVAL) OST_THROW(Errno("Wait on socket has failed", "poll", EBADF));
    }
    return n;
  }
}
OST_TRAIL

sockaddr_in SocketAddress(IpAddr addr, IpPort port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(addr.value);
  address.sin_port = htons(port.value);
  return address;
}

void CloseLogged(int fd) {
  if (fd < 0) return;
  if (close(fd) != 0) {
    const Error e = Errno("Could not close pipe file descriptor", "close");
    OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
  }
}

}  // namespace

struct SocketInit::Saved {
  struct sigaction action;
};

SocketInit::SocketInit() try : saved_(std::make_unique<Saved>()) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ignore.sa_flags = 0;
  if (sigaction(SIGPIPE, &ignore, &saved_->action) != 0)
    OST_THROW(Errno("Could not set SIGPIPE handler", "sigaction"));
}
OST_TRAIL

SocketInit::~SocketInit() {
  if (sigaction(SIGPIPE, &saved_->action, nullptr) != 0) {
    const Error e = Errno("Could not set SIGPIPE handler", "sigaction");
    OST_LOG(kLogDroppedErrors, "Error: {}", e.FullText(','));
  }
}

void MakeNonBlocking(int fd) try {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) OST_THROW(Errno("Could not get file descriptor flags", "fcntl"));
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) OST_THROW(Errno("Could not set file descriptor flags", "fcntl"));
}
OST_TRAIL

void DisableNagleAlgorithm(int fd) try {
  const int on = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0 && errno != EINVAL)
    OST_THROW(Errno("Could not disable Nagle algorithm", "setsockopt"));
}
OST_TRAIL

void SetupBufferSizes(int fd) try {
  int receive = 0;
  int send = 0;
  socklen_t length = sizeof receive;
  if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive, &length) != 0)
    OST_THROW(Errno("Could not read SO_RCVBUF", "getsockopt"));
  length = sizeof send;
  if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send, &length) != 0)
    OST_THROW(Errno("Could not read SO_SNDBUF", "getsockopt"));
  OST_LOG(kLogSockets, "rcvBufSize={} sndBufSize={}", receive, send);
}
OST_TRAIL

void SetupNewSocket(int fd) try {
  MakeNonBlocking(fd);
  DisableNagleAlgorithm(fd);
  SetupBufferSizes(fd);
}
OST_TRAIL

void ReleaseSockId(int fd) try {
  shutdown(fd, SHUT_RDWR);  // fails harmlessly for a socket that never connected
  // The descriptor is gone even when close reports EINTR, so never retry.
  if (close(fd) != 0) OST_THROW(Errno("Could not close socket", "close"));
}
OST_TRAIL

RaiiValue<int> SocketCreate() try {
  RaiiValue<int> socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), -1, ReleaseSockId);
  if (!socket.Valid()) OST_THROW(Errno("Could not create socket", "socket"));
  SetupNewSocket(socket.Get());
  return socket;
}
OST_TRAIL

SignalSocket::SignalSocket() try {
  int fds[2];
  // Both ends non-blocking: reads test for a byte, and a full pipe (which is
  // readable already) must not block Stop.
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) OST_THROW(Errno("Could not create pipe", "pipe"));
  pipeRead_ = fds[0];
  pipeWrite_ = fds[1];
}
OST_TRAIL

SignalSocket::~SignalSocket() {
  CloseLogged(pipeRead_);
  CloseLogged(pipeWrite_);
}

void SignalSocket::Stop() try {
  for (;;) {
    const ssize_t n = write(pipeWrite_, "S", 1);
    if (n == 1) return;
    if (n == 0) OST_THROW(Error(E_INVAL, "Unexpected zero pipe write result"));
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    OST_THROW(Errno("Could not signal file descriptor", "write"));
  }
}
OST_TRAIL

DataSocket::DataSocket(RaiiValue<int> socket, IpAddr peerAddr, IpPort peerPort) try
    : BaseSocket(std::move(socket)), peerAddr_(peerAddr), peerPort_(peerPort) {
}
OST_TRAIL

int64_t DataSocket::ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) try {
  const TimeoutMs resolved = GetTimeout(timeout);
  OST_LOG(kLogSockets, "len={} timeout={}", length, resolved);
  if (length <= 0) return 0;
  const auto deadline = DeadlineAfter(resolved);
  for (;;) {
    pollfd fds[2] = {{pipeRead_, POLLIN, 0}, {socket_.Get(), POLLIN, 0}};
    if (WaitReady(fds, 2, deadline) == 0) return 0;
    // The pipe first: a stop wins over data that is waiting.
    if (fds[0].revents & kReadReady) OST_THROW(Error(E_INTR, "Read has been interrupted"));
    if (!(fds[1].revents & kReadReady)) OST_THROW(Error(E_INTR, "Unexpected wakeup on read"));
    const ssize_t n = read(socket_.Get(), buffer, static_cast<size_t>(std::min<int64_t>(length, SSIZE_MAX)));
    if (n < 0) {
      // A signal, or readiness that went away again (a segment dropped after
      // the wake-up): wait again for what is left of the time.
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      OST_THROW(Errno("Could not read socket", "read"));
    }
    OST_LOG(kLogSockets, "Read {} bytes", n);
    return n;
  }
}
OST_TRAIL

void DataSocket::Writev(const Iovec* iov, int count) try {
  OST_LOG(kLogSockets, "iovecs={}", IovecsToString(iov, count));
  int64_t sent = 0;
  std::vector<iovec> rest;
  for (;;) {
    // What remains: skip what was sent entirely, start the first partly sent
    // element after its sent bytes, take the others whole.
    rest.clear();
    int64_t remaining = 0;
    int64_t skip = sent;
    for (int i = 0; i < count; ++i) {
      const int64_t length = std::max<int64_t>(0, iov[i].length);
      if (skip >= length) {
        skip -= length;
        continue;
      }
      rest.push_back({const_cast<char*>(static_cast<const char*>(iov[i].data)) + skip,
                      static_cast<size_t>(length - skip)});
      remaining += length - skip;
      skip = 0;
    }
    if (remaining == 0) break;

    msghdr message{};
    message.msg_iov = rest.data();
    message.msg_iovlen = std::min<size_t>(rest.size(), IOV_MAX);  // the kernel refuses longer lists
    // sendmsg is writev with flags: MSG_NOSIGNAL keeps a vanished peer from
    // raising the broken-pipe signal even where SocketInit was not made.
    const ssize_t n = sendmsg(socket_.Get(), &message, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) OST_THROW(Errno("Could not write socket", "write"));
      // The send buffer is full: wait up to 1 ms for room, or for a stop.
      pollfd fds[2] = {{pipeRead_, POLLIN, 0}, {socket_.Get(), POLLOUT, 0}};
      WaitReady(fds, 2, DeadlineAfter(TimeoutMs(1)));
      if (fds[0].revents & kReadReady) OST_THROW(Error(E_INTR, "Write has been interrupted"));
      continue;
    }
    if (n == 0) OST_THROW(Error(E_INVAL, "Invalid zero write result"));
    sent += n;
  }
  OST_LOG(kLogSockets, "Sent iovecs={}", IovecsToString(iov, count));
}
OST_TRAIL

namespace {

RaiiValue<int> ListeningSocket(IpPort port, int queueLength) try {
  OST_LOG(kLogSockets, "port={} queue={}", port, queueLength);
  RaiiValue<int> socket = SocketCreate();
  const int on = 1;
  if (setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
    OST_THROW(Errno("Could not enable SO_REUSEADDR socket option", "setsockopt"));
  const sockaddr_in address = SocketAddress(IpAddr(INADDR_ANY), port);
  if (bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    OST_THROW(Errno("Could not bind socket to address", "bind"));
  if (listen(socket.Get(), queueLength) != 0) OST_THROW(Errno("Could not listen socket", "listen"));
  return socket;
}
OST_TRAIL

// Errors of accept that concern only the connection being taken (it was
// reset or failed before we got to it): the listener itself is fine.
bool TransientAcceptError(int value) {
  switch (value) {
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

}  // namespace

ServerSocket::ServerSocket(IpPort port, int queueLength) try
    : BaseSocket(ListeningSocket(port, queueLength)), port_(port) {
}
OST_TRAIL

IpPort ServerSocket::BoundPort() const try {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (getsockname(socket_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    OST_THROW(Errno("Could not read socket address", "getsockname"));
  return IpPort(ntohs(address.sin_port));
}
OST_TRAIL

std::unique_ptr<DataSocket> ServerSocket::Accept() try {
  OST_LOG(kLogSockets, "Accept port={}", port_);
  for (;;) {
    pollfd fds[2] = {{pipeRead_, POLLIN, 0}, {socket_.Get(), POLLIN, 0}};
    if (WaitReady(fds, 2, std::nullopt) == 0) OST_THROW(Error(E_INVAL, "Unexpected timeout on accept"));
    if (fds[0].revents & kReadReady) OST_THROW(Error(E_INTR, "Accept has been interrupted"));
    sockaddr_in address{};
    socklen_t length = sizeof address;
    RaiiValue<int> socket(accept4(socket_.Get(), reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC), -1,
                          ReleaseSockId);
    if (!socket.Valid()) {
      if (TransientAcceptError(errno)) continue;
      OST_THROW(Errno("Could not accept socket", "accept"));
    }
    SetupNewSocket(socket.Get());
    return std::make_unique<DataSocket>(std::move(socket), IpAddr(ntohl(address.sin_addr.s_addr)),
                                        IpPort(ntohs(address.sin_port)));
  }
}
OST_TRAIL

std::unique_ptr<DataSocket> ConnectSocket::Connect(IpAddr addr, IpPort port, TimeoutMs timeout) try {
  OST_LOG(kLogSockets, "addr={} port={} timeout={}", addr, port, timeout);
  RaiiValue<int> socket = SocketCreate();

  // A stop that came before this attempt: consume it and give up.
  char byte;
  if (read(pipeRead_, &byte, 1) == 1) OST_THROW(Error(E_INTR, "Connect has been interrupted"));

  const sockaddr_in address = SocketAddress(addr, port);
  if (connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    // EINTR: the attempt goes on in the background, like EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR) OST_THROW(Errno("Could not connect socket", "connect"));
    pollfd fds[2] = {{pipeRead_, POLLIN, 0}, {socket.Get(), POLLOUT, 0}};
    if (WaitReady(fds, 2, DeadlineAfter(timeout)) == 0) OST_THROW(Error(E_TIMEDOUT, "Connection timed out"));
    // The byte stays in the pipe, so the next Connect fails too.
    if (fds[0].revents & kReadReady) OST_THROW(Error(E_INTR, "Connect has been interrupted"));
    if (!(fds[1].revents & kWriteReady)) OST_THROW(Error(E_NOTCONN, "Could not connect socket"));
    // Writable also means "the attempt failed": the outcome is in SO_ERROR.
    int failure = 0;
    socklen_t length = sizeof failure;
    if (getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &failure, &length) != 0)
      OST_THROW(Errno("Could not connect socket", "getsockopt"));
    if (failure != 0) OST_THROW(Errno("Could not connect socket", "connect", failure));
  }
  return std::make_unique<DataSocket>(std::move(socket), addr, port);
}
OST_TRAIL

}  // namespace OST
