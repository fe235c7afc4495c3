#include "TestNetns.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QProcess>
#include <atomic>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

namespace {

// Runs `program` with `args`; true when it exited with 0.
bool runCommand(const QString& program, const QStringList& args) {
  QProcess process;
  process.start(program, args);
  if (!process.waitForFinished(10000)) return false;
  if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
    std::cerr << program.toStdString() << " " << args.join(' ').toStdString() << ": "
              << process.readAllStandardError().toStdString();
    return false;
  }
  return true;
}

}  // namespace

TestNetns::TestNetns(const std::string& prefix) {
  static std::atomic<int> counter{0};
  name_ = prefix + "-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
  if (::geteuid() != 0) {
    reason_ = "creating a network namespace needs root";
    return;
  }
  if (!runCommand("ip", {"netns", "add", QString::fromStdString(name_)})) {
    reason_ = "ip netns add failed (iproute2 missing or no namespace support)";
    return;
  }
  created_ = true;
  if (!ip({"link", "set", "lo", "up"})) reason_ = "cannot bring up the namespace's loopback";
}

TestNetns::~TestNetns() {
  if (created_) runCommand("ip", {"netns", "delete", QString::fromStdString(name_)});
}

bool TestNetns::ip(const QStringList& args) const {
  return runCommand("ip", QStringList{"-n", QString::fromStdString(name_)} + args);
}

bool TestNetns::sysctl(const QString& key, const QString& value) const {
  return runCommand("ip", {"netns", "exec", QString::fromStdString(name_), "sysctl", "-qw",
                           key + "=" + value});
}

bool TestNetns::enter() const {
  const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool entered = ::setns(fd, CLONE_NEWNET) == 0;
  ::close(fd);
  return entered;
}

bool dropRawSocketCapabilityOfThisThread() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  data[CAP_NET_RAW / 32].effective &= ~(1U << (CAP_NET_RAW % 32));
  return ::syscall(SYS_capset, &header, data) == 0;
}

long icmpEchoRequestsSent() {
  std::ifstream snmp("/proc/thread-self/net/snmp");
  std::string names;
  std::string values;
  while (std::getline(snmp, names) && std::getline(snmp, values)) {
    if (names.rfind("Icmp:", 0) != 0) continue;
    std::istringstream nameWords(names);
    std::istringstream valueWords(values);
    std::string name;
    std::string value;
    while (nameWords >> name && valueWords >> value) {
      if (name == "OutEchos") return std::stol(value);
    }
  }
  return -1;
}
