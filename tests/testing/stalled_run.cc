#include "testing/stalled_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

const size_t PIPE_SIZE = 4096;  // a page: the least a pipe can hold

bool IsWaitingForThePipe(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/wchan");
  std::string where((std::istreambuf_iterator<char>(in)), {});
  return where.find("pipe_write") != std::string::npos || where.find("poll") != std::string::npos;
}

}  // namespace

StalledRun::StalledRun(const Store& store, const std::vector<std::string>& args,
                       const std::string& environment, size_t room, bool nonBlocking) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  if (nonBlocking) fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  output_ = fds[0];
  size_t size = static_cast<size_t>(fcntl(fds[1], F_SETPIPE_SZ, PIPE_SIZE));
  filler_ = size > room ? size - room : 0;
  const std::string filler(filler_, '#');
  if (write(fds[1], filler.data(), filler.size()) != static_cast<ssize_t>(filler.size())) {
    close(fds[1]);
    return;
  }
  // The shell and env hand over the process, so pid_ is the tool's.
  const std::string command = store.Command(args, "exec env " + environment) + " 2>" +
                              (scratch_.path() / "stderr").string() + " </dev/null";
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fds[1], STDOUT_FILENO);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
}

StalledRun::~StalledRun() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (output_ >= 0) close(output_);
}

bool StalledRun::WaitUntilStalled() {
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
    if (IsWaitingForThePipe(pid_)) return true;
    if (waitpid(pid_, nullptr, WNOHANG) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

RunResult StalledRun::Finish() {
  std::string output;
  char buffer[PIPE_SIZE];
  ssize_t n;
  while ((n = read(output_, buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  std::ifstream in(scratch_.path() / "stderr");
  std::string errors((std::istreambuf_iterator<char>(in)), {});
  return {output.substr(std::min(filler_, output.size())),
          WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), errors};
}
