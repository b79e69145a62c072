// PipedChild: a program started with its standard input and output on two pipes of ours, as a
// browser starts its native host. The object owns the process and both pipe ends: its end
// closes the input and waits for the program.
#pragma once

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmor::testing {

class PipedChild {
 public:
  // PipedChild: runs `path` as `name`, with `arg` as its one argument unless null. pid() stays
  // -1 when the pipes or the process cannot be had.
  PipedChild(const char* path, const char* name, const char* arg) {
    int in[2], out[2];
    if (::pipe(in) != 0) return;
    if (::pipe(out) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
      ::execl(path, name, arg, nullptr);
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
  }
  ~PipedChild() {
    CloseInput();
    Wait();
    if (from_ >= 0) ::close(from_);
  }
  PipedChild(const PipedChild&) = delete;
  PipedChild& operator=(const PipedChild&) = delete;

  pid_t pid() const { return pid_; }
  int to() const { return to_; }      // the program's standard input
  int from() const { return from_; }  // its standard output

  void CloseInput() {
    if (to_ >= 0) ::close(to_);
    to_ = -1;
  }
  // Wait: the program's exit status (-1 if it did not exit normally or was waited for before).
  int Wait() {
    if (pid_ <= 0) return -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
};

}  // namespace velmor::testing
