#include "tools/nights/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace kadrix::nights {

Started start_program(const std::vector<std::string>& argv, int out_fd, int keep_fd, bool term_with_parent) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return {pid};
  // The child: only async-signal-safe calls until exec.
  if (term_with_parent && (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || getppid() != parent)) _exit(127);
  for (const int s : {SIGPIPE, SIGXFSZ, SIGTERM, SIGINT, SIGHUP}) signal(s, SIG_DFL);
  const int null = open("/dev/null", O_RDONLY);
  if (null >= 0) dup2(null, 0);
  if (out_fd >= 0) dup2(out_fd, 1);
  if (keep_fd >= 0) {
    const int flags = fcntl(keep_fd, F_GETFD);
    if (flags >= 0) fcntl(keep_fd, F_SETFD, flags & ~FD_CLOEXEC);
  }
  execvp(args[0], args.data());
  _exit(127);
}

Ended wait_program(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return {};
  }
  if (WIFSIGNALED(status)) return {-1, WTERMSIG(status)};
  return {WEXITSTATUS(status), 0};
}

Output run_captured(const std::vector<std::string>& argv) {
  Output output;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    output.end.exit_status = 127;
    return output;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_DFL);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, 0);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    output.end.exit_status = 127;
    return output;
  }
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n > 0) {
      output.text.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  close(fds[0]);
  output.end = wait_program(pid);
  return output;
}

}  // namespace kadrix::nights
