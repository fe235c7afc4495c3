// Frames as they go on the wire, and the receiving side's strictness about
// what a peer may send.
#include "modWireFrames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace modWireFrames;

namespace {

struct Frame {
  std::size_t length;
  bool enciphered;
  std::string piece;  // as ParseFrame gives it
  int32_t phase;
  bool first;
  bool last;
};

// Cuts a stream into frames, each parsed; fails the test on a bad frame.
std::vector<Frame> cut(const std::string& stream) {
  FrameReader reader;
  reader.Append(stream);
  std::vector<Frame> frames;
  std::string body;
  while (reader.Next(body) == FrameReader::Result::kFrame) {
    Frame frame{body.size(), (static_cast<unsigned char>(body[0]) & 1) != 0, {}, 0, false, false};
    ConnectionState state;
    EXPECT_TRUE(ParseFrame(state, body));
    frame.piece = body;
    frame.phase = state.Phase;
    frame.first = state.IsFirstChunk;
    frame.last = state.IsLastChunk;
    frames.push_back(frame);
  }
  EXPECT_EQ(reader.Buffered(), 0u);
  return frames;
}

std::string lengthField(std::size_t n) {
  return std::string{static_cast<char>(n & 0xFF), static_cast<char>(n >> 8)};
}

}  // namespace

TEST(WireFrames, PiecesMarkersTrailersAndLengths) {
  struct Case {
    std::size_t textLength;
    bool isStart, isLast, encipher;
    int32_t kind;
    std::vector<std::size_t> pieces;
    std::vector<bool> first, last;
  };
  const Case cases[] = {
      {4000, true, true, true, kMessageFrames, {4000}, {true}, {true}},
      {4001, true, true, true, kMessageFrames, {4000, 1}, {true, false}, {false, true}},
      {0, true, true, false, kMessageFrames, {0}, {true}, {true}},
      {8001, false, false, false, kFileFrames, {4000, 4000, 1}, {false, false, false},
       {false, false, false}},
      {10, true, false, true, kFileFrames, {10}, {true}, {false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.textLength);
    std::string text(c.textLength, 'x');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    const std::vector<Frame> frames = cut(BuildFrames(text, c.isStart, c.isLast, c.kind, c.encipher));
    ASSERT_EQ(frames.size(), c.pieces.size());
    std::string joined;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].piece.size(), c.pieces[i]);
      EXPECT_EQ(frames[i].length, c.pieces[i] + (c.encipher ? 10 : 6));
      EXPECT_EQ(frames[i].enciphered, c.encipher);
      EXPECT_EQ(frames[i].phase, c.kind == kMessageFrames ? kMessagePhase : kFilePhase);
      EXPECT_EQ(frames[i].first, c.first[i]);
      EXPECT_EQ(frames[i].last, c.last[i]);
      joined += frames[i].piece;
    }
    EXPECT_EQ(joined, text);
  }
  // The largest frame: 4000 enciphered bytes make a body of 4010, 0xAA 0x0F.
  const std::string largest = BuildFrames(std::string(4000, 'z'), true, true, kMessageFrames, true);
  EXPECT_EQ(static_cast<unsigned char>(largest[0]), 0xAA);
  EXPECT_EQ(static_cast<unsigned char>(largest[1]), 0x0F);
  // A plain empty text: L = 6, an even flag byte, "|M<" and ">|".
  const std::string empty = BuildFrames("", true, true, kMessageFrames, false);
  EXPECT_EQ(empty.substr(0, 2), lengthField(6));
  EXPECT_EQ(static_cast<unsigned char>(empty[2]) & 1, 0);
  EXPECT_EQ(empty.substr(3), "|M<>|");
}

TEST(WireFrames, StreamsAreCutWhateverTheReadsAndTextsRejoined) {
  const std::string a = std::string(5000, 'A') + "é";
  const std::string stream = BuildFrames(a, true, true, kMessageFrames, true) +
                             BuildFrames("<!E!>", true, true, kMessageFrames, false);
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{7}, stream.size()}) {
    SCOPED_TRACE(chunk);
    FrameReader reader;
    MessageAssembler assembler;
    ConnectionState state;
    std::vector<std::string> texts;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
      reader.Append(stream.substr(at, chunk));
      std::string body;
      while (reader.Next(body) == FrameReader::Result::kFrame) {
        ASSERT_TRUE(ParseFrame(state, body));
        std::string text;
        if (assembler.Add(state, body, text) == MessageAssembler::Result::kComplete) {
          texts.push_back(text);
        }
      }
    }
    EXPECT_EQ(texts, (std::vector<std::string>{a, "<!E!>"}));
  }
  // A first piece starts a new text: a text cut short is not glued to the next.
  FrameReader reader;
  reader.Append(BuildFrames("lost", true, false, kMessageFrames, false) +
                BuildFrames("whole", true, true, kMessageFrames, false));
  MessageAssembler assembler;
  ConnectionState state;
  std::string body, text;
  ASSERT_EQ(reader.Next(body), FrameReader::Result::kFrame);
  ASSERT_TRUE(ParseFrame(state, body));
  EXPECT_EQ(assembler.Add(state, body, text), MessageAssembler::Result::kIncomplete);
  ASSERT_EQ(reader.Next(body), FrameReader::Result::kFrame);
  ASSERT_TRUE(ParseFrame(state, body));
  ASSERT_EQ(assembler.Add(state, body, text), MessageAssembler::Result::kComplete);
  EXPECT_EQ(text, "whole");
}

// Pieces of any size a peer may send, empty ones included, join into the
// text they make, and the size counted is that of the text.
TEST(WireFrames, PiecesOfEverySizeJoinIntoTheirText) {
  const std::vector<std::vector<std::size_t>> cuts = {
      {0}, {5}, {0, 0, 0, 7}, {1, 1, 1, 1}, {kMaxPiece, kMaxPiece, 3},
      {3, kMaxPiece, 0, kMaxPiece - 1, 1, 2}, {kMaxPiece, 0, 1, kMaxPiece}};
  for (const auto& cut : cuts) {
    MessageAssembler assembler;
    std::string text, expected;
    MessageAssembler::Result result = MessageAssembler::Result::kIncomplete;
    for (std::size_t i = 0; i < cut.size(); ++i) {
      ConnectionState state;
      state.IsFirstChunk = i == 0;
      state.IsLastChunk = i + 1 == cut.size();
      const std::string piece(cut[i], static_cast<char>('a' + i));
      expected += piece;
      result = assembler.Add(state, piece, text);
      if (!state.IsLastChunk) {
        EXPECT_EQ(assembler.Size(), expected.size());
      }
    }
    EXPECT_EQ(result, MessageAssembler::Result::kComplete);
    EXPECT_EQ(text, expected) << cut.size() << " pieces";
    EXPECT_EQ(assembler.Size(), 0u);
  }
}

TEST(WireFrames, WhatNoSenderMakesIsAProtocolError) {
  // Length fields outside 6..4010, the largest a two-byte field can carry included.
  for (const std::size_t length : {std::size_t{0}, std::size_t{5}, std::size_t{4011},
                                   std::size_t{32767}, std::size_t{65535}}) {
    FrameReader reader;
    reader.Append(lengthField(length) + std::string(10, '|'));
    std::string body;
    EXPECT_EQ(reader.Next(body), FrameReader::Result::kProtocolError) << length;
  }
  // Bodies that parse to nothing sensible leave the record as it was.
  ConnectionState state;
  state.Phase = kFilePhase;
  for (std::string body : {std::string("\x02|X<ab>|"), std::string("\x02|M<ab>>"),
                           std::string("\x02|M<"), std::string("\x01\x05\x05\x05\x05"),
                           std::string(4011, '\x02')}) {
    EXPECT_FALSE(ParseFrame(state, body));
    EXPECT_EQ(state.Phase, kFilePhase);
  }
  // An endless text is cut off at the cap.
  MessageAssembler assembler;
  ConnectionState more;
  more.Phase = kMessagePhase;
  std::string text;
  const std::string piece(kMaxPiece, 'p');
  MessageAssembler::Result result = MessageAssembler::Result::kIncomplete;
  for (std::size_t sent = 0; result == MessageAssembler::Result::kIncomplete; sent += kMaxPiece) {
    ASSERT_LE(sent, kMaxMessageText);
    result = assembler.Add(more, piece, text);
  }
  EXPECT_EQ(result, MessageAssembler::Result::kTooLong);
}
