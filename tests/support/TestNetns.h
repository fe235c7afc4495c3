#pragma once
// TestNetns: a network namespace that a test creates for itself and removes
// when done, so that tests can send traffic to addresses that exist only
// inside it. Creating one needs root and iproute2; when that fails, ok() is
// false and skipReason() says why (the test then skips).
//
// run() executes work on a thread that has entered the namespace: sockets,
// interface lists and resolver calls made there see only the namespace.
#include <optional>
#include <string>
#include <thread>

#include <QStringList>

class TestNetns {
 public:
  // Creates the namespace "<prefix>-<pid>-<n>" with its loopback interface up.
  explicit TestNetns(const std::string& prefix = "tvrtest");
  ~TestNetns();
  TestNetns(const TestNetns&) = delete;
  TestNetns& operator=(const TestNetns&) = delete;

  bool ok() const { return reason_.empty(); }
  const std::string& skipReason() const { return reason_; }
  const std::string& name() const { return name_; }

  // `ip -n <name> <args>`; true when it succeeded.
  bool ip(const QStringList& args) const;
  // `sysctl -w key=value` inside the namespace.
  bool sysctl(const QString& key, const QString& value) const;

  // The result of `work` run inside the namespace; nothing when the
  // namespace could not be entered.
  template <typename Work>
  auto run(Work work) const -> std::optional<decltype(work())> {
    std::optional<decltype(work())> result;
    std::thread worker([&] {
      if (enter()) result = work();
    });
    worker.join();
    return result;
  }

 private:
  bool enter() const;

  std::string name_;
  std::string reason_;
  bool created_ = false;
};

// Takes CAP_NET_RAW out of the calling thread's effective capabilities, so
// that thread can open no raw socket. False when the system refused.
bool dropRawSocketCapabilityOfThisThread();

// The kernel's count of ICMP echo requests sent from the calling thread's
// network namespace; -1 when it cannot be read.
long icmpEchoRequestsSent();
