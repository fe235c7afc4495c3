#pragma once
// modWireFrames: the frames in which two copies exchange texts over TCP.
//
// A text is cut into pieces of at most kMaxPiece bytes; each piece travels as
// one frame:
//   length (2 bytes, low byte first) | flag byte | sealed part
// The flag byte is random with bit 0 set when the sealed part is enciphered
// (clsGenEncryption, keys inside the text). The plain sealed part is a marker
// ("|M<" first piece of a message text, "|M[" a further one, "|F<" / "|F["
// the same for file content), the piece, and a trailer (">|" last piece,
// "]|" more follow). A plain body is piece + 6 bytes, an enciphered one
// piece + 10, so no sender makes a body above kMaxFrameBody.
//
// Receiving is strict, because the bytes come from a peer: a length or a
// body that no sender produces, an unknown marker or trailer, or a message
// text above kMaxMessageText is a protocol error, after which the caller
// closes the connection. Nothing here throws for bad input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ConnectionState.h"

namespace platform {
class SocketControl;
}

namespace modWireFrames {

inline constexpr std::size_t kMaxPiece = 4000;
inline constexpr std::size_t kMaxFrameBody = kMaxPiece + 10;
inline constexpr std::size_t kMinPlainBody = 6;
inline constexpr std::size_t kMinEncipheredBody = 10;
inline constexpr std::size_t kMaxMessageText = 16 * 1024 * 1024;

// Frame kinds of SendFramedData.
enum FrameKind : int32_t { kMessageFrames = 1, kFileFrames = 2 };

// The end of a conversation, sent by the requester as a whole message text.
inline constexpr const char* kEndText = "<!E!>";

// The frames of `text`, each with its length field, in order. An empty text
// gives one frame with an empty piece.
std::string BuildFrames(const std::string& text, bool isStart, bool isLast, int32_t kind,
                        bool encipher);

// Queues the frames of `text` on `socket` behind anything it still sends, so
// the pieces of one text are never mixed with another's. Tag "B" while bytes
// are pending (the socket's send-complete sets "R" again); with
// closeOnComplete, Tag "COC", and the send-complete closes the socket.
// Returns true (failed) and sends nothing when the socket is not connected,
// has Tag "E" (an error) or is already to be closed ("COC").
bool SendFramedData(platform::SocketControl& socket, const std::string& text, bool isStart,
                    bool isLast, int32_t kind, bool encipher, bool closeOnComplete);

// Turns one frame body (flag byte and sealed part) into its piece, where it
// stands, setting Phase, IsFirstChunk and IsLastChunk of `state`. False,
// leaving `state` as it was and `chunk` of no further use, for a body that no
// sender makes.
bool ParseFrame(ConnectionState& state, std::string& chunk);

// The bytes of one connection not yet cut into frames.
class FrameReader {
 public:
  enum class Result { kNeedMore, kFrame, kProtocolError };

  void Append(const std::string& data);
  // Appends what has arrived on `socket`, at most maxBytes, read straight
  // into the buffer; false when nothing had arrived.
  bool ReadFrom(platform::SocketControl& socket, std::int64_t maxBytes);
  // Takes the next complete frame body out of the buffer into `body`.
  // kProtocolError for a length field that no sender writes; the buffer
  // is then useless and should be cleared with the connection.
  Result Next(std::string& body);
  // Empties the buffer and gives its memory back.
  void Clear();
  std::size_t Buffered() const { return buffer_.size() - offset_; }

 private:
  void dropConsumed();

  std::string buffer_;
  std::size_t offset_ = 0;
};

// Joins the pieces of message texts. A first piece starts a new text. The
// pieces are kept as they came and joined once, when the last one is in.
class MessageAssembler {
 public:
  enum class Result { kIncomplete, kComplete, kTooLong };

  // Adds the piece of a message frame just parsed into `state`; kComplete
  // puts the whole text into `text`.
  Result Add(const ConnectionState& state, std::string piece, std::string& text);
  // Empties the buffer and gives its memory back.
  void Clear();
  // Bytes of the text being joined.
  std::size_t Size() const { return size_; }

 private:
  // Every piece but the last holds at least kMaxPiece bytes (short pieces
  // are added to the one before), so their number stays within Size() / kMaxPiece + 1.
  std::vector<std::string> pieces_;
  std::size_t size_ = 0;
};

}  // namespace modWireFrames
