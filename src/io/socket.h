// IPv4 TCP sockets as byte streams.
//
// Every socket is non-blocking with TCP no-delay on. Every wait watches two
// descriptors: the socket and the read end of a private pipe. Stop writes one
// byte into that pipe; it is the one way another thread interrupts a blocked
// read, accept or connect. The pipe is tested before the socket, so a stop
// wins over data that is waiting. Waits use poll, so descriptors of any
// number work.
//
// Data and listening sockets never drain the pipe: once stopped, every later
// wait fails at once. A ConnectSocket consumes one stop byte when a Connect
// begins while one is there (that Connect fails), and leaves it when the
// byte arrives during the wait (that Connect and the next one fail).
//
// Trace lines go to log category kLogSockets.
//
// Thread contract: a socket is read by one thread and written by one thread
// (possibly another) at the same time; Stop is safe from any thread. No lock
// is taken: the pipe is the only cross-thread signal. SocketInit changes
// process-wide signal state and is made once, before threads use sockets.
#pragma once

#include <cstdint>
#include <memory>

#include "core/raii.h"
#include "core/stream.h"
#include "core/typed_int.h"
#include "io/hostname.h"  // ToString(IpAddr) for messages about sockets

namespace OST {

inline constexpr int kLogSockets = 116;

// Ignores the broken-pipe signal while alive and puts the previous action
// back on destruction, so a write to a vanished peer fails with an Error
// instead of ending the process. Throws the errno-based "Could not set
// SIGPIPE handler" (function "sigaction"); the destructor logs it instead.
class SocketInit : public NonCopyable {
 public:
  SocketInit();
  ~SocketInit();

 private:
  struct Saved;
  std::unique_ptr<Saved> saved_;  // the previous action
};

// Adds O_NONBLOCK to the descriptor's status flags. Errno-based "Could not
// get file descriptor flags" / "Could not set file descriptor flags"
// (function "fcntl").
void MakeNonBlocking(int fd);
// TCP no-delay on; EINVAL (the peer already left) is ignored. Errno-based
// "Could not disable Nagle algorithm" (function "setsockopt").
void DisableNagleAlgorithm(int fd);
// Logs the receive and send buffer sizes ("rcvBufSize={} sndBufSize={}");
// changes nothing. Errno-based "Could not read SO_RCVBUF" / "Could not read
// SO_SNDBUF" (function "getsockopt").
void SetupBufferSizes(int fd);
// The three above, in that order.
void SetupNewSocket(int fd);
// Shuts the socket down both ways (a failure there is ignored), then closes
// it. Errno-based "Could not close socket" (function "close").
void ReleaseSockId(int fd);
// A new IPv4 stream socket, set up with SetupNewSocket; the caller owns it.
// Errno-based "Could not create socket" (function "socket").
RaiiValue<int> SocketCreate();

// A pipe whose one byte is the stop signal. Both ends are closed on
// destruction (a failure is logged, category 123).
class SignalSocket : public NonCopyable, public virtual Stoppable {
 public:
  // Errno-based "Could not create pipe" (function "pipe").
  SignalSocket();
  ~SignalSocket() override;

  // Puts one byte "S" into the pipe. When the pipe is full, it is readable
  // already and the byte is not needed, so Stop never blocks. Errno-based
  // "Could not signal file descriptor" (function "write"); E_INVAL
  // "Unexpected zero pipe write result".
  void Stop() override;

 protected:
  int pipeRead_ = -1;   // non-blocking; constant after construction
  int pipeWrite_ = -1;  // non-blocking; constant after construction
};

// A socket descriptor and the stop pipe.
class BaseSocket : public SignalSocket {
 public:
  // Takes the descriptor. Requires: it is valid.
  explicit BaseSocket(RaiiValue<int> socket) : socket_(std::move(socket)) {}

 protected:
  RaiiValue<int> socket_;  // constant after construction
};

// A connected socket (made by ServerSocket::Accept or ConnectSocket::Connect).
class DataSocket : public BaseSocket, public virtual Stream {
 public:
  DataSocket(RaiiValue<int> socket, IpAddr peerAddr, IpPort peerPort);

  IpAddr PeerAddr() const { return peerAddr_; }
  IpPort PeerPort() const { return peerPort_; }

  // Waits at most `timeout` (kDefaultTimeout: the default time-out) for data
  // and reads once: 1..length bytes, or 0 on time-out or when the peer has
  // closed the connection. Throws E_INTR "Read has been interrupted" once
  // stopped (even with data waiting), E_INTR "Unexpected wakeup on read",
  // errno-based "Wait on socket has failed" (function "poll") and "Could not
  // read socket" (function "read").
  int64_t ReadTimed(void* buffer, int64_t length, TimeoutMs timeout) override;
  // Sends every byte of every element in order, through partial writes,
  // waiting while the send buffer is full. A list without bytes returns at
  // once. Throws errno-based "Could not write socket" (function "write"),
  // E_INVAL "Invalid zero write result", and E_INTR "Write has been
  // interrupted" when the socket is stopped while the send buffer is full
  // (a peer that stops reading cannot hold the writer forever).
  void Writev(const Iovec* iov, int count) override;
  void Flush() override {}

 private:
  const IpAddr peerAddr_;
  const IpPort peerPort_;
};

// A listening socket on the wildcard address.
class ServerSocket : public BaseSocket {
 public:
  // Listens on `port` (0: an ephemeral port, see BoundPort) with the given
  // queue length. Errno-based "Could not create socket", "Could not enable
  // SO_REUSEADDR socket option" (function "setsockopt"), "Could not bind
  // socket to address" (function "bind"), "Could not listen socket"
  // (function "listen").
  ServerSocket(IpPort port, int queueLength);

  // The port asked for.
  IpPort Port() const { return port_; }
  // The port actually bound (the one chosen by the system when 0 was asked
  // for). Errno-based "Could not read socket address" (function
  // "getsockname").
  IpPort BoundPort() const;

  // Blocks without a time limit until a connection arrives; the caller owns
  // the result. Throws E_INTR "Accept has been interrupted" once stopped,
  // errno-based "Wait on socket has failed" (function "poll") and "Could not
  // accept socket" (function "accept"), E_INVAL "Unexpected timeout on
  // accept". A connection that vanished before it was taken is skipped.
  std::unique_ptr<DataSocket> Accept();

 private:
  const IpPort port_;
};

// Makes outgoing connections; owns only the stop pipe. Reusable.
class ConnectSocket : public SignalSocket {
 public:
  ConnectSocket() = default;

  // Connects to addr:port, waiting at most `timeout` milliseconds; the
  // caller owns the result. Throws E_INTR "Connect has been interrupted"
  // (a stop before or during the attempt), E_TIMEDOUT "Connection timed
  // out", errno-based "Could not connect socket" (function "connect"; the
  // code tells a refused or unreachable peer), "Wait on socket has failed"
  // (function "poll"), E_NOTCONN "Could not connect socket".
  std::unique_ptr<DataSocket> Connect(IpAddr addr, IpPort port, TimeoutMs timeout);
};

}  // namespace OST
