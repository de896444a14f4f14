// The single-instance guard seen from a second process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <csignal>
#include <memory>
#include <string>

#include "platform/linux/linux_instance_guard.h"

namespace qv::linux_host {
namespace {

// A name of this test run only, so that a tool running on the machine is
// not disturbed.
std::wstring TestGuardName() {
  const std::string name = "{qvflash-guard-test-" + std::to_string(::getpid()) + "}";
  return std::wstring(name.begin(), name.end());
}

// What Create() answers in a separate process: 0 Created, 1 AlreadyExists,
// 2 Error. The child holds the guard for `holdMs` before it exits.
int CreateInChild(const std::wstring& name, int holdMs = 0) {
  const pid_t child = ::fork();
  if (child == 0) {
    LinuxInstanceGuard guard;
    const IInstanceGuard::Result result = guard.Create(name);
    if (holdMs > 0) ::usleep(static_cast<useconds_t>(holdMs) * 1000);
    ::_exit(result == IInstanceGuard::Result::Created         ? 0
            : result == IInstanceGuard::Result::AlreadyExists ? 1
                                                              : 2);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LinuxInstanceGuard, SecondProcessSeesTheHeldName) {
  const std::wstring name = TestGuardName();
  EXPECT_EQ(CreateInChild(name), 0);  // free
  {
    LinuxInstanceGuard guard;
    ASSERT_EQ(guard.Create(name), IInstanceGuard::Result::Created);
    EXPECT_EQ(CreateInChild(name), 1);
    EXPECT_EQ(CreateInChild(name + L"-other"), 0);  // other names are independent
    // The holder asking again is told the name is taken, as a named mutex
    // answers a second create in the same process.
    LinuxInstanceGuard again;
    EXPECT_EQ(again.Create(name), IInstanceGuard::Result::AlreadyExists);
  }
  EXPECT_EQ(CreateInChild(name), 0);  // released with its holder
}

TEST(LinuxInstanceGuard, ReleasedWhenTheHoldingProcessEnds) {
  const std::wstring name = TestGuardName() + L"-exit";
  // A child that holds the name and is killed: the kernel releases it.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    LinuxInstanceGuard guard;
    const bool created = guard.Create(name) == IInstanceGuard::Result::Created;
    const char byte = created ? 'y' : 'n';
    if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(byte, 'y');
  LinuxInstanceGuard guard;
  EXPECT_EQ(guard.Create(name), IInstanceGuard::Result::AlreadyExists);
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_EQ(guard.Create(name), IInstanceGuard::Result::Created);
}

TEST(LinuxInstanceGuard, NotInheritedByChildren) {
  const std::wstring name = TestGuardName() + L"-exec";
  auto guard = std::make_unique<LinuxInstanceGuard>();
  ASSERT_EQ(guard->Create(name), IInstanceGuard::Result::Created);
  // A program started from here (exec) holds no copy: once this process
  // lets go, the name is free even while the child still runs. The pipe's
  // write end closes at the child's exec, which tells that it has happened.
  int execed[2];
  ASSERT_EQ(::pipe2(execed, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl("/bin/sleep", "sleep", "5", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(execed[1]);
  char byte;
  EXPECT_EQ(::read(execed[0], &byte, 1), 0);
  ::close(execed[0]);
  guard.reset();
  EXPECT_EQ(CreateInChild(name), 0);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace qv::linux_host
