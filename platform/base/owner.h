// How the platform owns what it borrows from C libraries, and the owners of what the C library
// and the kernel hand out (file descriptors, malloc'd bytes, child processes, loaded modules).
//
// Each library type is registered once, beside the subsystem that uses the library, with the
// function that frees it (VELMOR_MAKE_DELETER), and is then held as UniquePtr<T> everywhere; a
// reference-counted type registers how a reference is taken (VELMOR_MAKE_UP_REF) and gets a
// second owner with UpRef. This header itself brings no library: only POSIX.
#pragma once

#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

namespace velmor::platform {

// Deleter<T>: how a T is freed; only registered types have one.
template <typename T>
struct Deleter;

// UniquePtr<T>: the one owner of a T (null-safe: the free functions are never called on null).
template <typename T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

// VELMOR_MAKE_DELETER(type, freeFunction): registers `freeFunction` as the way a `type` goes.
// Written inside namespace velmor::platform, once per type, in the owners header of the
// subsystem that uses the type's library.
#define VELMOR_MAKE_DELETER(type, freeFunction)                  \
  template <>                                                    \
  struct Deleter<type> {                                         \
    void operator()(type* p) const noexcept { freeFunction(p); } \
  }

// UpRefer<T>: how one more reference to a reference-counted T is taken (1 when it was).
template <typename T>
struct UpRefer;

// VELMOR_MAKE_UP_REF(type, upRefFunction): registers `upRefFunction` for `type`, like
// VELMOR_MAKE_DELETER.
#define VELMOR_MAKE_UP_REF(type, upRefFunction)                       \
  template <>                                                         \
  struct UpRefer<type> {                                              \
    int operator()(type* p) const noexcept { return upRefFunction(p); } \
  }

// UpRef: a second owner of a reference-counted object (null when `p` is null or the count
// cannot be raised). The caller keeps its own reference.
template <typename T>
UniquePtr<T> UpRef(T* p) {
  if (p == nullptr || UpRefer<T>{}(p) != 1) return nullptr;
  return UniquePtr<T>(p);
}

// IntHandle: a nullable wrapper that lets unique_ptr hold a handle that is a number (a file
// descriptor, a context or key handle) as its pointer type.
template <typename T, T kNull>
struct IntHandle {
  T value = kNull;
  IntHandle() = default;
  IntHandle(std::nullptr_t) {}  // NOLINT: unique_ptr needs the implicit null conversion
  explicit IntHandle(T h) : value(h) {}
  explicit operator bool() const { return value != kNull; }
  friend bool operator==(IntHandle a, IntHandle b) { return a.value == b.value; }
  friend bool operator==(IntHandle a, std::nullptr_t) { return a.value == kNull; }
};

// VELMOR_INT_OWNER(Owner, Type, kNull, release): Owner holds one Type handle and releases it
// with `release(value)` unless it is kNull. `Owner::pointer(h)` adopts h; `get().value` reads it.
#define VELMOR_INT_OWNER(Owner, Type, kNull, release)                     \
  struct Owner##Releaser {                                                \
    using pointer = ::velmor::platform::IntHandle<Type, kNull>;           \
    void operator()(pointer h) const noexcept { release(h.value); }      \
  };                                                                      \
  using Owner = std::unique_ptr<::velmor::platform::IntHandle<Type, kNull>, Owner##Releaser>

// UniqueFd: the one owner of a POSIX file descriptor, closed when it goes; -1 is "none".
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  // get: the descriptor, still owned (borrowed by the caller).
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // release: the descriptor, handed over to the caller.
  int release() noexcept { return std::exchange(fd_, -1); }
  // reset: closes the descriptor held and owns `fd` instead.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// FreeDeleter / MallocBytes / MallocChars: bytes from malloc (or a C function that allocates
// with it: realpath, strdup), freed with free().
struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
using MallocBytes = std::unique_ptr<unsigned char, FreeDeleter>;
using MallocChars = std::unique_ptr<char, FreeDeleter>;

// UniqueLibrary: a module dlopen loaded (a bare pointer), unloaded with dlclose.
struct LibraryCloser {
  void operator()(void* handle) const noexcept { dlclose(handle); }
};
using UniqueLibrary = std::unique_ptr<void, LibraryCloser>;

// UniquePipe: a stream popen opened, closed with pclose.
struct PipeCloser {
  void operator()(std::FILE* f) const noexcept { pclose(f); }
};
using UniquePipe = std::unique_ptr<std::FILE, PipeCloser>;

// UniqueChild: a child process this process started as the leader of a process group of its
// own (POSIX_SPAWN_SETSID or setpgid), ended with all it started when its owner goes. The leader
// is given half a second to end by itself (its input is closed by then, which ends a
// well-behaved one); then the whole group gets SIGTERM, the leader another half second, and the
// group SIGKILL, so that no call ever waits on a stuck child and nothing it spawned outlives it
// (a wrapper script's `sleep` included). The leader is reaped only after the group was killed:
// until then its process id, which names the group, cannot be given to anyone else.
struct ChildReaper {
  struct pointer {
    pid_t pid = -1;
    pointer() = default;
    pointer(std::nullptr_t) {}
    explicit pointer(pid_t p) : pid(p) {}
    explicit operator bool() const { return pid > 0; }
    friend bool operator==(const pointer& a, const pointer& b) { return a.pid == b.pid; }
    friend bool operator==(const pointer& a, std::nullptr_t) { return a.pid <= 0; }
  };
  enum class State { kRunning, kEnded, kGone };
  // Wait: the leader's state after at most `waitMs`; an ended one is left unreaped (its zombie
  // keeps the group's id taken). kGone: not ours to wait for any more (reaped elsewhere).
  static State Wait(pid_t pid, int waitMs) noexcept {
    for (int i = 0;; ++i) {
      siginfo_t info{};
      if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno == EINTR) continue;
        return State::kGone;
      }
      if (info.si_pid == pid) return State::kEnded;
      if (i >= waitMs) return State::kRunning;
      const timespec tick{0, 1'000'000};
      ::nanosleep(&tick, nullptr);
    }
  }
  void operator()(pointer p) const noexcept {
    State state = Wait(p.pid, 500);
    if (state == State::kGone) return;  // its id may be someone else's by now
    ::kill(-p.pid, SIGTERM);  // a stuck leader, or what an ended one left behind
    if (state == State::kRunning && Wait(p.pid, 500) == State::kGone) return;
    ::kill(-p.pid, SIGKILL);
    ::waitpid(p.pid, nullptr, 0);
  }
};
using UniqueChild = std::unique_ptr<void, ChildReaper>;

}  // namespace velmor::platform
