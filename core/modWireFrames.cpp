#include "modWireFrames.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>
#include <string_view>

#include "SocketControl.h"
#include "clsGenEncryption.h"

namespace modWireFrames {
namespace {

constexpr std::string_view kMessageFirst = "|M<";
constexpr std::string_view kMessageMore = "|M[";
constexpr std::string_view kFileFirst = "|F<";
constexpr std::string_view kFileMore = "|F[";
constexpr std::string_view kLastTrailer = ">|";
constexpr std::string_view kMoreTrailer = "]|";
constexpr std::size_t kMarkerLength = 3;
constexpr std::size_t kTrailerLength = 2;
constexpr int kFlagRange = 250;

constexpr std::size_t kCipherOverhead = kMinEncipheredBody - kMinPlainBody;

std::size_t pieceCount(std::size_t textSize) {
  return textSize == 0 ? 1 : (textSize + kMaxPiece - 1) / kMaxPiece;
}

// Bytes of all frames of a text of `textSize` bytes, length fields included.
std::size_t framesSize(std::size_t textSize, bool encipher) {
  const std::size_t perFrame = 2 + kMinPlainBody + (encipher ? kCipherOverhead : 0);
  return textSize + pieceCount(textSize) * perFrame;
}

// Writes the frame of `piece` at `out` and gives the end of what it wrote.
// The sealed part is laid out plain and then enciphered where it stands.
char* writeFrame(char* out, std::string_view piece, bool first, bool last, int32_t kind,
                 bool encipher) {
  const std::size_t sealedPlain = kMarkerLength + piece.size() + kTrailerLength;
  const std::size_t body = 1 + sealedPlain + (encipher ? kCipherOverhead : 0);
  clsGenEncryption& cipher = GenEncryption();
  const int random = cipher.GetRandomNumber(kFlagRange);
  out[0] = static_cast<char>(body & 0xFF);
  out[1] = static_cast<char>((body >> 8) & 0xFF);
  out[2] = static_cast<char>(encipher ? (random | 1) : (random & 254));
  char* sealed = out + 3;
  char* plain = encipher ? sealed + 3 : sealed;
  const std::string_view marker = kind == kMessageFrames ? (first ? kMessageFirst : kMessageMore)
                                                         : (first ? kFileFirst : kFileMore);
  std::memcpy(plain, marker.data(), kMarkerLength);
  std::memcpy(plain + kMarkerLength, piece.data(), piece.size());
  std::memcpy(plain + kMarkerLength + piece.size(), (last ? kLastTrailer : kMoreTrailer).data(),
              kTrailerLength);
  if (encipher) cipher.EncryptInPlace(sealed, sealedPlain);
  return out + 2 + body;
}

// Writes the frames of the pieces of `text` from `offset` on at `out`, at
// most `count` of them, and gives the offset of the rest.
std::size_t writeFrames(char* out, const std::string& text, std::size_t offset, std::size_t count,
                        bool isStart, bool isLast, int32_t kind, bool encipher) {
  do {
    const std::size_t length = std::min(kMaxPiece, text.size() - offset);
    const bool first = offset == 0;
    out = writeFrame(out, std::string_view(text.data() + offset, length), isStart && first,
                     isLast && offset + length == text.size(), kind, encipher);
    offset += length;
  } while (offset < text.size() && --count > 0);
  return offset;
}

}  // namespace

std::string BuildFrames(const std::string& text, bool isStart, bool isLast, int32_t kind,
                        bool encipher) {
  std::string frames(framesSize(text.size(), encipher), '\0');
  writeFrames(frames.data(), text, 0, pieceCount(text.size()), isStart, isLast, kind, encipher);
  return frames;
}

// The frames go to the socket in batches of kBatchPieces, each in a buffer
// the socket keeps without copying; batches of this size reuse freed memory
// where one buffer for a long text would be fresh pages every time.
bool SendFramedData(platform::SocketControl& socket, const std::string& text, bool isStart,
                    bool isLast, int32_t kind, bool encipher, bool closeOnComplete) {
  constexpr std::size_t kBatchPieces = 16;
  if (socket.State() != platform::kSckConnected) return true;
  if (socket.Tag() == "E" || socket.Tag() == "COC") return true;
  socket.setTag(closeOnComplete ? "COC" : "B");
  std::size_t offset = 0;
  do {
    const std::size_t rest = std::min(text.size() - offset, kBatchPieces * kMaxPiece);
    QByteArray frames(static_cast<qsizetype>(framesSize(rest, encipher)), Qt::Uninitialized);
    offset = writeFrames(frames.data(), text, offset, kBatchPieces, isStart, isLast, kind, encipher);
    socket.SendData(frames);
  } while (offset < text.size());
  return false;
}

bool ParseFrame(ConnectionState& state, std::string& chunk) {
  if (chunk.empty() || chunk.size() > kMaxFrameBody) return false;
  const bool enciphered = (static_cast<unsigned char>(chunk[0]) & 1) != 0;
  if (chunk.size() < (enciphered ? kMinEncipheredBody : kMinPlainBody)) return false;
  // The sealed part is deciphered where it stands, behind the flag byte.
  if (enciphered) GenEncryption().DecryptInPlace(chunk, 1);
  const std::string_view sealed = std::string_view(chunk).substr(1);
  const std::string_view marker(sealed.data(), kMarkerLength);
  const std::string_view trailer(sealed.data() + sealed.size() - kTrailerLength, kTrailerLength);
  int32_t phase = 0;
  bool firstPiece = false;
  if (marker == kMessageFirst || marker == kMessageMore) {
    phase = kMessagePhase;
    firstPiece = marker == kMessageFirst;
  } else if (marker == kFileFirst || marker == kFileMore) {
    phase = kFilePhase;
    firstPiece = marker == kFileFirst;
  } else {
    return false;
  }
  if (trailer != kLastTrailer && trailer != kMoreTrailer) return false;
  state.Phase = phase;
  state.IsFirstChunk = firstPiece;
  state.IsLastChunk = trailer == kLastTrailer;
  chunk.resize(chunk.size() - kTrailerLength);
  chunk.erase(0, 1 + kMarkerLength);
  return true;
}

void FrameReader::Append(const std::string& data) {
  dropConsumed();
  buffer_ += data;
}

bool FrameReader::ReadFrom(platform::SocketControl& socket, std::int64_t maxBytes) {
  dropConsumed();
  return socket.AppendData(buffer_, maxBytes) > 0;
}

void FrameReader::dropConsumed() {
  if (offset_ > 0 && offset_ >= buffer_.size() / 2) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
}

FrameReader::Result FrameReader::Next(std::string& body) {
  if (Buffered() < 2) return Result::kNeedMore;
  const auto low = static_cast<unsigned char>(buffer_[offset_]);
  const auto high = static_cast<unsigned char>(buffer_[offset_ + 1]);
  const std::size_t length = low + 256u * high;
  if (length < kMinPlainBody || length > kMaxFrameBody) return Result::kProtocolError;
  if (Buffered() < length + 2) return Result::kNeedMore;
  body.assign(buffer_, offset_ + 2, length);
  offset_ += length + 2;
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  }
  return Result::kFrame;
}

void FrameReader::Clear() {
  std::string().swap(buffer_);
  offset_ = 0;
}

MessageAssembler::Result MessageAssembler::Add(const ConnectionState& state, std::string piece,
                                               std::string& text) {
  if (state.IsFirstChunk) Clear();
  if (size_ + piece.size() > kMaxMessageText) {
    Clear();
    return Result::kTooLong;
  }
  size_ += piece.size();
  if (!pieces_.empty() && pieces_.back().size() < kMaxPiece) {
    pieces_.back() += piece;
  } else {
    pieces_.push_back(std::move(piece));
  }
  if (!state.IsLastChunk) return Result::kIncomplete;
  if (pieces_.size() == 1) {
    text = std::move(pieces_.front());
  } else {
    text.clear();
    text.reserve(size_);
    for (const std::string& part : pieces_) text += part;
  }
  Clear();
  return Result::kComplete;
}

void MessageAssembler::Clear() {
  std::vector<std::string>().swap(pieces_);
  size_ = 0;
}

}  // namespace modWireFrames
