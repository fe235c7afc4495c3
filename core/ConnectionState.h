#pragma once
// ConnectionState: what a connection remembers between two arrivals of
// data: the kind of the last frame, whether the connection is in use and for
// how long it has been silent, and the file offer it carries.
//
// One record per accepted connection and one for the outgoing connection.
// A connection carries at most one file: FileOffered from the accepted offer
// on, FileStream while the file is open, FileFinished once it ended
// (complete or failed). InitConnectionState resets a record for a new
// connection (a file still open is dropped with its temporary file); the
// file size and progress fields keep their values until a file starts.
#include <cstdint>
#include <memory>
#include <string>

#include "IncomingFile.h"

struct ConnectionState {
  // The kind of the last frame: kMessagePhase or kFilePhase.
  int32_t Phase = 1;
  // In use; only active records are counted by the idle time-out.
  bool Active = false;
  int32_t IdleSeconds = 0;
  std::string SenderUID;
  std::string RecipientUID;
  bool IsFirstChunk = false;
  bool IsLastChunk = false;
  std::string IncomingFileName;
  std::string TargetFolder;
  bool FileOpened = false;
  // Shared so that the record stays copyable; only the connection holds it.
  std::shared_ptr<IncomingFile> FileStream;
  bool FileOffered = false;
  bool FileFinished = false;
  // The percentage this transfer last showed on the progress bar.
  int32_t ShownPercent = -1;
  double FileSize = 0;
  double BytesReceived = 0;
  float Percent = 0;
  // After a failed file receipt: arriving data is read and dropped.
  bool RawMode = false;
  bool ShowsProgress = false;
  // The peer was turned away by the address filter: nothing it sends is read.
  bool Refused = false;
  // The address the peer's connection comes from (dotted IPv4).
  std::string PeerAddress;
  // Set when a sender check (request 300) on this connection let
  // CheckedSenderUID write to the account CheckedRecipientUID; messages and
  // files are taken only from that sender for that account.
  bool SenderAccepted = false;
  std::string CheckedSenderUID;
  std::string CheckedRecipientUID;
};

inline constexpr int32_t kMessagePhase = 1;
inline constexpr int32_t kFilePhase = 2;

void InitConnectionState(ConnectionState& state);
