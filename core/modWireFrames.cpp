#include "modWireFrames.h"

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

void appendLength(std::string& out, std::size_t length) {
  out.push_back(static_cast<char>(length & 0xFF));
  out.push_back(static_cast<char>((length >> 8) & 0xFF));
}

void appendFrame(std::string& out, std::string_view piece, bool first, bool last, int32_t kind,
                 bool encipher) {
  std::string sealed;
  sealed.reserve(piece.size() + kMarkerLength + kTrailerLength);
  if (kind == kMessageFrames) {
    sealed += first ? kMessageFirst : kMessageMore;
  } else {
    sealed += first ? kFileFirst : kFileMore;
  }
  sealed += piece;
  sealed += last ? kLastTrailer : kMoreTrailer;
  clsGenEncryption& cipher = GenEncryption();
  const int random = cipher.GetRandomNumber(kFlagRange);
  if (encipher) sealed = cipher.EncryptString(sealed);
  const char flag = static_cast<char>(encipher ? (random | 1) : (random & 254));
  appendLength(out, sealed.size() + 1);
  out.push_back(flag);
  out += sealed;
}

}  // namespace

std::string BuildFrames(const std::string& text, bool isStart, bool isLast, int32_t kind,
                        bool encipher) {
  std::string frames;
  frames.reserve(text.size() + (text.size() / kMaxPiece + 1) * (kMaxFrameBody - kMaxPiece + 2));
  std::size_t offset = 0;
  bool first = true;
  do {
    const std::size_t length = std::min(kMaxPiece, text.size() - offset);
    const std::string_view piece(text.data() + offset, length);
    offset += length;
    const bool lastPiece = offset == text.size();
    appendFrame(frames, piece, isStart && first, isLast && lastPiece, kind, encipher);
    first = false;
  } while (offset < text.size());
  return frames;
}

bool SendFramedData(platform::SocketControl& socket, const std::string& text, bool isStart,
                    bool isLast, int32_t kind, bool encipher, bool closeOnComplete) {
  if (socket.State() != platform::kSckConnected) return true;
  if (socket.Tag() == "E" || socket.Tag() == "COC") return true;
  const std::string frames = BuildFrames(text, isStart, isLast, kind, encipher);
  socket.setTag(closeOnComplete ? "COC" : "B");
  socket.SendData(frames);
  return false;
}

bool ParseFrame(ConnectionState& state, std::string& chunk) {
  if (chunk.empty() || chunk.size() > kMaxFrameBody) return false;
  const bool enciphered = (static_cast<unsigned char>(chunk[0]) & 1) != 0;
  std::string sealed;
  if (enciphered) {
    if (chunk.size() < kMinEncipheredBody) return false;
    sealed = GenEncryption().DecryptString(chunk, 2);
  } else {
    if (chunk.size() < kMinPlainBody) return false;
    sealed = chunk.substr(1);
  }
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
  chunk = sealed.substr(kMarkerLength, sealed.size() - kMarkerLength - kTrailerLength);
  return true;
}

void FrameReader::Append(const std::string& data) {
  if (offset_ > 0 && offset_ >= buffer_.size() / 2) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  buffer_ += data;
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
  if (buffer_.size() + piece.size() > kMaxMessageText) {
    Clear();
    return Result::kTooLong;
  }
  buffer_ += piece;
  if (!state.IsLastChunk) return Result::kIncomplete;
  text = std::move(buffer_);
  buffer_.clear();
  return Result::kComplete;
}

}  // namespace modWireFrames
