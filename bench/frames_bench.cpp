// Framed, enciphered texts over loopback TCP against raw TCP doing the same
// transfer, in the same run and the same single thread.
//
// Ours: 100 MB of text leaves one SocketControl through
// modWireFrames::SendFramedData (message frames, enciphered) and is cut into
// frames, parsed and joined by FrameReader, ParseFrame and MessageAssembler on
// the accepting SocketControl. A receiver takes at most kMaxMessageText bytes
// per message text, so the 100 MB travel as ten texts of 10 MB, queued at
// once, and the receiver appends each completed text to the whole.
//
// References: the same 100 MB written in blocks of 4012 bytes (the size of
// one full enciphered frame) over a plain QTcpSocket pair, and over a pair
// of non-blocking POSIX sockets driven by poll(); both read everything into
// one buffer. Every side runs in this one thread, as both copies' work does
// here, so the ratio is the cost of framing, cipher and reassembly.
//
// Prints MB/s (decimal megabytes of text per wall-clock second) per run and a
// ratio table (ours / reference) last.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ConnectionState.h"
#include "RatioReport.h"
#include "SocketControl.h"
#include "modGlobalVariables.h"
#include "modWireFrames.h"

namespace {

constexpr std::size_t kTotalBytes = 100'000'000;
constexpr std::size_t kTextBytes = 10'000'000;  // below the receiver's limit per text
constexpr std::size_t kBlock = 4012;            // one full enciphered frame on the wire
constexpr int kDeadlineMs = 120'000;
static_assert(kTotalBytes % kTextBytes == 0);
static_assert(kTextBytes <= modWireFrames::kMaxMessageText);

using Clock = std::chrono::steady_clock;

// Office-like text: words of letters, spaces, punctuation and line breaks.
const std::string& wholeText() {
  static const std::string text = [] {
    static const char* const kWords[] = {"meeting", "report", "the", "of", "quarter", "figures",
                                         "please", "notes", "and", "team", "Tuesday", "budget",
                                         "review", "draft", "client", "schedule"};
    std::string made;
    made.reserve(kTotalBytes + 32);
    std::uint32_t seed = 12345;
    while (made.size() < kTotalBytes) {
      seed = seed * 1664525u + 1013904223u;
      made += kWords[(seed >> 16) % 16];
      const std::uint32_t after = (seed >> 8) % 23;
      made += after == 0 ? ".\r\n" : after == 1 ? ", " : " ";
    }
    made.resize(kTotalBytes);
    return made;
  }();
  return text;
}

// The whole text cut into the message texts that travel.
const std::vector<std::string>& messageTexts() {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> cut;
    for (std::size_t offset = 0; offset < kTotalBytes; offset += kTextBytes) {
      cut.push_back(wholeText().substr(offset, kTextBytes));
    }
    return cut;
  }();
  return texts;
}

void report(benchmark::State& state, double seconds) {
  const double megabytes = static_cast<double>(kTotalBytes) * static_cast<double>(state.iterations()) / 1e6;
  state.counters["MB/s"] = megabytes / seconds;
}

void fail(const char* what) {
  std::fprintf(stderr, "frames_bench: %s\n", what);
  std::abort();
}

// One transfer through our sockets and frames; returns the joined text.
std::string transferFramed() {
  QEventLoop loop;
  platform::SocketControl listener(0);
  platform::SocketControl receiver(1);
  platform::SocketControl sender(2);

  listener.setLocalPort(0);
  if (!listener.Listen()) fail(listener.LastErrorText().c_str());
  const int port = listener.LocalPort();
  if (port == 0) fail("the listener does not report its chosen port");

  modWireFrames::FrameReader reader;
  modWireFrames::MessageAssembler assembler;
  ConnectionState record;
  std::string received;
  received.reserve(kTotalBytes);
  bool broken = false;

  QObject::connect(&listener, &platform::SocketControl::connectionRequest,
                   [&](int, qintptr requestID) {
                     receiver.Accept(requestID);
                   });
  QObject::connect(&receiver, &platform::SocketControl::dataArrival, [&](int, qint64) {
    reader.ReadFrom(receiver, platform::SocketControl::kAllData);
    std::string body;
    std::string text;
    for (;;) {
      const auto next = reader.Next(body);
      if (next == modWireFrames::FrameReader::Result::kNeedMore) break;
      if (next == modWireFrames::FrameReader::Result::kProtocolError ||
          !modWireFrames::ParseFrame(record, body) || record.Phase != kMessagePhase) {
        broken = true;
        loop.quit();
        return;
      }
      const auto joined = assembler.Add(record, std::move(body), text);
      if (joined == modWireFrames::MessageAssembler::Result::kTooLong) {
        broken = true;
        loop.quit();
        return;
      }
      if (joined == modWireFrames::MessageAssembler::Result::kComplete) {
        received += text;
        if (received.size() >= kTotalBytes) loop.quit();
      }
    }
  });
  QObject::connect(&sender, &platform::SocketControl::connected, [&](int) {
    for (const std::string& text : messageTexts()) {
      if (modWireFrames::SendFramedData(sender, text, true, true,
                                        modWireFrames::kMessageFrames, true, false)) {
        broken = true;
        loop.quit();
        return;
      }
    }
  });
  QObject::connect(&sender, &platform::SocketControl::error, [&](int, int, const QString&) {
    broken = true;
    loop.quit();
  });

  sender.setRemoteHost("127.0.0.1");
  sender.setRemotePort(port);
  sender.Connect();
  QTimer::singleShot(kDeadlineMs, &loop, &QEventLoop::quit);
  loop.exec();
  if (broken) fail("the framed transfer broke off");
  if (received.size() != kTotalBytes) fail("the framed transfer ran out of time");
  sender.Close();
  receiver.Close();
  listener.Close();
  return received;
}

// One transfer over a plain QTcpSocket pair; returns the bytes read.
std::string transferQTcpSocket() {
  const std::string& whole = wholeText();
  QEventLoop loop;
  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost, 0)) fail("QTcpServer cannot listen");
  std::unique_ptr<QTcpSocket> receiver;
  QTcpSocket sender;
  std::string received(kTotalBytes, '\0');
  std::size_t got = 0;

  QObject::connect(&server, &QTcpServer::newConnection, [&] {
    receiver.reset(server.nextPendingConnection());
    QObject::connect(receiver.get(), &QTcpSocket::readyRead, [&] {
      while (receiver->bytesAvailable() > 0 && got < kTotalBytes) {
        const qint64 read = receiver->read(received.data() + got, static_cast<qint64>(kTotalBytes - got));
        if (read <= 0) break;
        got += static_cast<std::size_t>(read);
      }
      if (got >= kTotalBytes) loop.quit();
    });
  });
  QObject::connect(&sender, &QTcpSocket::connected, [&] {
    for (std::size_t offset = 0; offset < kTotalBytes; offset += kBlock) {
      sender.write(whole.data() + offset, static_cast<qint64>(std::min(kBlock, kTotalBytes - offset)));
    }
  });
  sender.connectToHost(QHostAddress::LocalHost, server.serverPort());
  QTimer::singleShot(kDeadlineMs, &loop, &QEventLoop::quit);
  loop.exec();
  if (got != kTotalBytes) fail("the QTcpSocket transfer ran out of time");
  sender.close();
  receiver.reset();
  return received;
}

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// One transfer over non-blocking POSIX sockets and poll(); returns the bytes read.
std::string transferPosix() {
  const std::string& whole = wholeText();
  const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listening < 0 || ::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listening, 1) != 0 ||
      ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    fail("POSIX listener");
  }
  const int sending = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(sending, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("POSIX connect");
  const int receiving = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
  if (receiving < 0) fail("POSIX accept");
  ::close(listening);
  setNonBlocking(sending);
  setNonBlocking(receiving);

  std::string received(kTotalBytes, '\0');
  std::size_t sent = 0;
  std::size_t got = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while (got < kTotalBytes && Clock::now() < deadline) {
    pollfd watched[2] = {{receiving, POLLIN, 0},
                         {sending, static_cast<short>(sent < kTotalBytes ? POLLOUT : 0), 0}};
    if (::poll(watched, 2, 1000) < 0) fail("poll");
    if (watched[1].revents & POLLOUT) {
      while (sent < kTotalBytes) {
        const ssize_t written =
            ::send(sending, whole.data() + sent, std::min(kBlock, kTotalBytes - sent), MSG_NOSIGNAL);
        if (written <= 0) break;
        sent += static_cast<std::size_t>(written);
      }
    }
    if (watched[0].revents & POLLIN) {
      for (;;) {
        const ssize_t read = ::recv(receiving, received.data() + got, kTotalBytes - got, 0);
        if (read <= 0) break;
        got += static_cast<std::size_t>(read);
      }
    }
  }
  ::close(sending);
  ::close(receiving);
  if (got != kTotalBytes) fail("the POSIX transfer ran out of time");
  return received;
}

template <std::string (*transfer)()>
void timeTransfers(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    const std::string received = transfer();
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    if (received.size() != kTotalBytes) fail("a transfer came back short");
  }
  report(state, seconds);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QTemporaryDir dataRoot;
  qputenv("TAVINOR_DATA_ROOT", dataRoot.path().toUtf8());
  qputenv("TAVINOR_BIND_ADDRESS", "127.0.0.1");
  modGlobalVariables::InitGlobalVariables();
  std::printf("text: %zu bytes, sent as %zu message texts\n", wholeText().size(), messageTexts().size());
  // One untimed transfer each first: the first one pays for growing the
  // heap, which would otherwise count in a run of few iterations. Ours is
  // checked byte for byte here.
  if (transferFramed() != wholeText()) fail("the joined text differs from the text sent");
  if (transferQTcpSocket() != wholeText()) fail("the QTcpSocket transfer differs from the text sent");
  if (transferPosix() != wholeText()) fail("the POSIX transfer differs from the text sent");

  const std::vector<std::pair<std::string, BenchFunction>> benchmarks = {
      {"frames/SocketControl", timeTransfers<transferFramed>},
      {"raw/QTcpSocket", timeTransfers<transferQTcpSocket>},
      {"raw/posix", timeTransfers<transferPosix>},
  };
  const std::vector<RatioRow> table = {
      {"100 MB framed+enciphered vs QTcpSocket 4012-byte blocks", "frames/SocketControl", "raw/QTcpSocket"},
      {"100 MB framed+enciphered vs POSIX 4012-byte blocks", "frames/SocketControl", "raw/posix"},
  };
  return runWithRatios(argc, argv, benchmarks, table, "ours (ms)", "raw (ms)");
}
