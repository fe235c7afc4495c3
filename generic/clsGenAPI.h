#pragma once
// clsGenAPI: the program's direct calls into the system's network and
// identity services: the local host name and address, name resolution, the
// computer name, new record identifiers and the ICMP echo ("ping").
//
// The class keeps no state. Creating an instance checks that sockets can be
// used (SocketsInitialize); on this system sockets need no start-up, so there
// is nothing for SocketsCleanup to end. Socket failures are reported only by
// the message boxes named below, after which the operation answers "" or
// False; any other error is reported and raised again to the caller.
//
// Everything runs on the calling thread: Ping blocks it for up to its
// time-out, name resolution while the resolver works.
#include <cstdint>
#include <string>

// Ping statuses besides the IP status numbers of platform/IcmpEcho.h.
inline constexpr int kPingAnswered = 0;
inline constexpr int kPingBadAddress = -1;

class clsGenAPI {
 public:
  clsGenAPI();
  ~clsGenAPI();
  clsGenAPI(const clsGenAPI&) = delete;
  clsGenAPI& operator=(const clsGenAPI&) = delete;

  static std::uint8_t LoByte(std::uint16_t value);

  // The dotted IPv4 address colleagues reach this machine at:
  // $TAVINOR_BIND_ADDRESS when it holds a dotted address, else the first
  // address of an interface that is up and not loopback, else the first
  // address the host name resolves to. "" on failure (a message was shown).
  std::string GetLocalIPAddress();

  // The host name; "" on failure (a message was shown).
  std::string GetLocalHostName();

  // The first IPv4 address `hostName` resolves to, dotted; an empty name
  // stands for the local host. "" on failure (a message was shown).
  std::string GetIPFromHostName(const std::string& hostName);

  // The NetBIOS-style computer name: the host name up to its first ".",
  // in capitals, at most 15 characters.
  std::string GetComputerName();

  // A new identifier: 36 characters, upper-case hexadecimal groups of
  // 8-4-4-4-12 joined by "-"; "00000000" when no identifier can be made.
  // Needs no instance: record collections call it for every new row.
  static std::string CreateGUID();

  static std::uint8_t HiByte(std::uint16_t value);

  // True when this process can open an IPv4 socket; otherwise shows
  // "The 32-bit Windows Socket is not responding." and answers False.
  bool SocketsInitialize();
  void SocketsCleanup();

  // "<status>   [ <text> ]", the text naming the ping status.
  static std::string GetPingStatusText(int status);

  // Sends one ICMP echo carrying `data` to the dotted IPv4 `address` and
  // waits up to `timeoutMs` milliseconds. Answers kPingAnswered (0) for a
  // reply, kPingBadAddress (-1) without sending anything when `address` is
  // not a dotted address, 11010 when nothing came back in time, or the IP
  // status the network reported. When this process may open no ICMP socket
  // at all the status stays 0. Shows nothing.
  int Ping(const std::string& address, const std::string& data, int timeoutMs);
};
