// The bytes a peer sends on an accepted connection, taken as the connection
// takes them: cut into arrivals, each appended to a FrameReader, frames taken
// until it needs more, each parsed, message pieces joined, and every complete
// text handed to the request dispatcher. The first protocol error (a length
// or a body that no sender makes, an over-long text), a file frame or the
// end text ends the input: what a file frame carries goes to the file
// receiver, which the requests harness drives.
//
// Input: two bytes, then the stream. The low 15 bits of the two bytes choose
// where the stream is cut into arrivals (0: the whole stream in one arrival).
// With the top bit set, the stream is written plain and the harness enciphers
// it as a sender does: every whole frame whose flag byte is odd gets the rest
// of its body enciphered, so that the reader deciphers the mutated text.
// Every input starts from the same installation (no account).
//
// Checked on the way:
//  - the reader hands out exactly the frames that the stream holds, each body
//    within [kMinPlainBody, kMaxFrameBody], and buffers exactly what was
//    appended and not yet taken;
//  - ParseFrame accepts exactly the bodies a sender makes, gives a piece of at
//    most kMaxPiece bytes and leaves the state alone when it refuses;
//  - the assembler joins pieces as they came and never holds more than
//    kMaxMessageText bytes;
//  - the dispatcher answers only an XML text whose root is "A", and only with
//    an "R" record;
//  - every text (each complete text, each reply, the whole stream) framed by
//    BuildFrames, plain and enciphered, as message and as file content, cuts
//    back into exactly itself, in one arrival, byte by byte when short, and
//    in the input's own arrivals.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "clsGenEncryption.h"
#include "clsGenXMLDocument.h"
#include "modCOMRequestedAction.h"
#include "modWireFrames.h"

using namespace modWireFrames;

namespace {

constexpr std::size_t kHeaderLength = 2;
constexpr std::uint8_t kEncipherFlag = 0x80;
constexpr std::size_t kLargestLength = 0xFFFF;
// Texts up to this length are also delivered one byte per arrival.
constexpr std::size_t kByteByByteLimit = 256;

// Arrival sizes of one input: a fixed sequence drawn from its two header
// bytes, mixing one to four bytes (length fields cut in two), short runs,
// whole frames and several frames at once.
class Arrivals {
 public:
  explicit Arrivals(std::uint32_t seed) : state_(seed == 0 ? 0 : seed * 2654435761u | 1u) {}

  static Arrivals whole() { return Arrivals(0); }
  static Arrivals byteByByte() {
    Arrivals arrivals(0);
    arrivals.single_ = true;
    return arrivals;
  }

  std::size_t next(std::size_t remaining) {
    if (single_) return std::min<std::size_t>(1, remaining);
    if (state_ == 0) return remaining;
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    const std::uint32_t draw = state_ >> 2;
    std::size_t size = 0;
    switch (state_ & 3) {
      case 0: size = 1 + draw % 4; break;
      case 1: size = 1 + draw % 64; break;
      case 2: size = 1 + draw % (kMaxFrameBody + 2); break;
      default: size = 1 + draw % 16384; break;
    }
    return std::min(size, remaining);
  }

 private:
  std::uint32_t state_;
  bool single_ = false;
};

struct Piece {
  bool enciphered;
  std::size_t bodyLength;
  int32_t phase;
  bool first;
  bool last;
  std::string text;
};

// What ParseFrame must make of `body`, worked out independently: false for a
// body that no sender makes.
bool expectedPiece(const std::string& body, Piece& piece) {
  if (body.empty() || body.size() > kMaxFrameBody) return false;
  piece.enciphered = (static_cast<unsigned char>(body[0]) & 1) != 0;
  piece.bodyLength = body.size();
  if (body.size() < (piece.enciphered ? kMinEncipheredBody : kMinPlainBody)) return false;
  const std::string sealed =
      piece.enciphered ? GenEncryption().DecryptString(body, 2) : body.substr(1);
  if (sealed.size() < 5) std::abort();
  const std::string_view marker(sealed.data(), 3);
  const std::string_view trailer(sealed.data() + sealed.size() - 2, 2);
  if (marker == "|M<" || marker == "|M[") {
    piece.phase = kMessagePhase;
  } else if (marker == "|F<" || marker == "|F[") {
    piece.phase = kFilePhase;
  } else {
    return false;
  }
  piece.first = marker[2] == '<';
  if (trailer != ">|" && trailer != "]|") return false;
  piece.last = trailer == ">|";
  piece.text = sealed.substr(3, sealed.size() - 5);
  return true;
}

// A FrameReader with ParseFrame, checked against the stream it was given.
class CheckedCutter {
 public:
  enum class Status { kOk, kProtocolError };

  // Appends one arrival; `onPiece` gets each parsed piece in order and
  // returns false to stop (the connection is closed).
  template <typename OnPiece>
  Status arrive(std::string_view data, ConnectionState& state, OnPiece onPiece) {
    stream_.append(data);
    reader_.Append(std::string(data));
    require(reader_.Buffered() == stream_.size() - taken_);
    std::string body;
    for (;;) {
      const FrameReader::Result result = reader_.Next(body);
      const FrameReader::Result expected = expectedResult();
      require(result == expected);
      require(reader_.Buffered() == stream_.size() - taken_ -
                                        (result == FrameReader::Result::kFrame ? body.size() + 2 : 0));
      if (result == FrameReader::Result::kNeedMore) return Status::kOk;
      if (result == FrameReader::Result::kProtocolError) return Status::kProtocolError;

      require(body.size() >= kMinPlainBody && body.size() <= kMaxFrameBody);
      require(std::string_view(stream_).substr(taken_ + 2, body.size()) == body);
      taken_ += body.size() + 2;

      Piece wanted{};
      const bool valid = expectedPiece(body, wanted);
      const ConnectionState before = state;
      const bool parsed = ParseFrame(state, body);
      require(parsed == valid);
      if (!parsed) {
        require(state.Phase == before.Phase && state.IsFirstChunk == before.IsFirstChunk &&
                state.IsLastChunk == before.IsLastChunk);
        return Status::kProtocolError;
      }
      require(body.size() <= kMaxPiece);
      require(wanted.bodyLength - body.size() ==
              (wanted.enciphered ? kMinEncipheredBody : kMinPlainBody));
      require(body == wanted.text);
      require(state.Phase == wanted.phase && state.IsFirstChunk == wanted.first &&
              state.IsLastChunk == wanted.last);
      wanted.text = std::move(body);
      if (!onPiece(wanted)) return Status::kOk;
    }
  }

  std::size_t buffered() const { return reader_.Buffered(); }

 private:
  FrameReader::Result expectedResult() const {
    const std::size_t available = stream_.size() - taken_;
    if (available < 2) return FrameReader::Result::kNeedMore;
    const std::size_t length = static_cast<unsigned char>(stream_[taken_]) +
                               256u * static_cast<unsigned char>(stream_[taken_ + 1]);
    if (length < kMinPlainBody || length > kMaxFrameBody) return FrameReader::Result::kProtocolError;
    if (available < length + 2) return FrameReader::Result::kNeedMore;
    return FrameReader::Result::kFrame;
  }

  FrameReader reader_;
  std::string stream_;
  std::size_t taken_ = 0;
};

// A MessageAssembler beside the text it should be holding.
class CheckedAssembler {
 public:
  MessageAssembler::Result add(const ConnectionState& state, const std::string& piece,
                               std::string& text) {
    if (state.IsFirstChunk) held_.clear();
    const bool tooLong = held_.size() + piece.size() > kMaxMessageText;
    const MessageAssembler::Result result = assembler_.Add(state, piece, text);
    if (tooLong) {
      require(result == MessageAssembler::Result::kTooLong);
      held_.clear();
      return result;
    }
    held_ += piece;
    require(held_.size() <= kMaxMessageText);
    if (!state.IsLastChunk) {
      require(result == MessageAssembler::Result::kIncomplete);
      return result;
    }
    require(result == MessageAssembler::Result::kComplete);
    require(text == held_);
    held_.clear();
    return result;
  }

 private:
  MessageAssembler assembler_;
  std::string held_;
};

void deliver(std::string_view stream, Arrivals arrivals, CheckedCutter& cutter,
             ConnectionState& state, const std::function<bool(const Piece&)>& onPiece) {
  std::size_t offset = 0;
  while (offset < stream.size()) {
    const std::size_t size = arrivals.next(stream.size() - offset);
    bool stopped = false;
    const CheckedCutter::Status status =
        cutter.arrive(stream.substr(offset, size), state, [&](const Piece& piece) {
          stopped = !onPiece(piece);
          return !stopped;
        });
    require(status == CheckedCutter::Status::kOk);
    require(!stopped);
    offset += size;
  }
}

// BuildFrames(text) cut again gives text back, in the frames a sender makes.
void requireRoundTrip(const std::string& text, Arrivals arrivals, bool isStart, bool isLast,
                      int32_t kind, bool encipher) {
  const std::string frames = BuildFrames(text, isStart, isLast, kind, encipher);
  const std::size_t count = text.empty() ? 1 : (text.size() + kMaxPiece - 1) / kMaxPiece;
  CheckedCutter cutter;
  CheckedAssembler assembler;
  ConnectionState state;
  std::vector<Piece> pieces;
  std::string joined;
  std::string assembled;
  bool completed = false;
  deliver(frames, arrivals, cutter, state, [&](const Piece& piece) {
    require(piece.enciphered == encipher);
    require(piece.phase == (kind == kMessageFrames ? kMessagePhase : kFilePhase));
    const std::size_t index = pieces.size();
    require(index < count);
    require(piece.first == (isStart && index == 0));
    require(piece.last == (isLast && index + 1 == count));
    require(piece.text.size() == (index + 1 < count ? kMaxPiece : text.size() - index * kMaxPiece));
    joined += piece.text;
    if (kind == kMessageFrames) {
      // A text sent without its first piece is joined onto nothing.
      const MessageAssembler::Result result = assembler.add(state, piece.text, assembled);
      if (result == MessageAssembler::Result::kComplete) completed = true;
    }
    pieces.push_back(piece);
    return true;
  });
  require(pieces.size() == count);
  require(cutter.buffered() == 0);
  require(joined == text);
  if (kind == kMessageFrames) {
    require(completed == isLast);
    if (completed) require(assembled == text);
  }
}

void requireRoundTrips(const std::string& text, std::uint32_t seed) {
  std::vector<Arrivals> ways{Arrivals::whole(), Arrivals(seed)};
  if (text.size() <= kByteByByteLimit) ways.push_back(Arrivals::byteByByte());
  for (const Arrivals& way : ways) {
    for (const bool encipher : {false, true}) {
      requireRoundTrip(text, way, true, true, kMessageFrames, encipher);
      requireRoundTrip(text, way, true, true, kFileFrames, encipher);
    }
  }
  // Sent as the start, the middle or the end of a longer text, as the
  // header bits say.
  requireRoundTrip(text, Arrivals(seed), (seed & 1) != 0, (seed & 2) != 0, kMessageFrames,
                   (seed & 4) != 0);
}

std::size_t frameLength(const std::string& stream, std::size_t offset) {
  return static_cast<unsigned char>(stream[offset]) +
         256u * static_cast<unsigned char>(stream[offset + 1]);
}

// `plain` with the body of every whole frame whose flag byte is odd
// enciphered after the flag; the rest is left as it is.
std::string encipherFrames(const std::string& plain) {
  std::string stream;
  std::size_t offset = 0;
  while (plain.size() - offset >= 2) {
    const std::size_t length = frameLength(plain, offset);
    const bool whole = length > 0 && plain.size() - offset - 2 >= length;
    if (!whole || (static_cast<unsigned char>(plain[offset + 2]) & 1) == 0 ||
        length + 4 > kLargestLength) {
      const std::size_t taken = std::min(plain.size() - offset, length + 2);
      stream.append(plain, offset, taken);
      offset += taken;
      continue;
    }
    const std::string sealed = GenEncryption().EncryptString(plain.substr(offset + 3, length - 1));
    const std::size_t sealedLength = sealed.size() + 1;
    stream += static_cast<char>(sealedLength & 0xFF);
    stream += static_cast<char>(sealedLength >> 8);
    stream += plain[offset + 2];
    stream += sealed;
    offset += length + 2;
  }
  return stream + plain.substr(offset);
}

std::unique_ptr<InstallationSnapshot>& startingInstallation() {
  static std::unique_ptr<InstallationSnapshot> snapshot;
  return snapshot;
}

// The dispatcher answers only a request record, and only with a reply record.
void requireReplyFits(const std::string& text, const std::string& reply) {
  if (reply.empty()) return;
  const XMLDocumentRef request = clsGenXMLDocument::create();
  require(request->load(text));
  require(std::string_view(request->rootElement().name()) == "A");
  const XMLDocumentRef answer = clsGenXMLDocument::create();
  require(answer->load(reply));
  require(std::string_view(answer->rootElement().name()) == "R");
}

// The bound of one text, at and just past kMaxMessageText, which inputs of
// a fuzzing run are too short to reach.
void requireTextBound() {
  const std::string piece(kMaxPiece, 'x');
  for (const std::size_t total : {kMaxMessageText, kMaxMessageText + 1}) {
    CheckedAssembler assembler;
    ConnectionState state;
    std::string text;
    MessageAssembler::Result result = MessageAssembler::Result::kIncomplete;
    for (std::size_t sent = 0; sent < total;) {
      const std::size_t size = std::min(kMaxPiece, total - sent);
      state.IsFirstChunk = sent == 0;
      sent += size;
      state.IsLastChunk = sent == total;
      result = assembler.add(state, piece.substr(0, size), text);
      if (result != MessageAssembler::Result::kIncomplete) break;
    }
    require(result == (total == kMaxMessageText ? MessageAssembler::Result::kComplete
                                                : MessageAssembler::Result::kTooLong));
    // The next text starts afresh.
    state.IsFirstChunk = state.IsLastChunk = true;
    require(assembler.add(state, "<!E!>", text) == MessageAssembler::Result::kComplete);
    require(text == kEndText);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  startingInstallation() = std::make_unique<InstallationSnapshot>(startFuzzProgram().root());
  requireTextBound();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeaderLength) return 0;
  startingInstallation()->restore();
  const std::uint32_t seed =
      data[0] | static_cast<std::uint32_t>(static_cast<std::uint8_t>(data[1] & ~kEncipherFlag)) << 8;
  const std::string written = fuzzText(data + kHeaderLength, size - kHeaderLength);
  const std::string stream = (data[1] & kEncipherFlag) != 0 ? encipherFrames(written) : written;

  CheckedCutter cutter;
  CheckedAssembler assembler;
  ConnectionState state;
  InitConnectionState(state);
  state.Active = true;
  std::set<std::string> texts;
  bool closed = false;
  const auto close = [&closed] {
    closed = true;
    return false;
  };
  Arrivals arrivals(seed);
  for (std::size_t offset = 0; offset < stream.size() && !closed;) {
    const std::size_t length = arrivals.next(stream.size() - offset);
    const auto status = cutter.arrive(
        std::string_view(stream).substr(offset, length), state, [&](const Piece& piece) {
          // File content belongs to the file receiver (see above).
          if (piece.phase != kMessagePhase) return close();
          std::string text;
          const auto joined = assembler.add(state, piece.text, text);
          if (joined == MessageAssembler::Result::kTooLong) return close();
          if (joined == MessageAssembler::Result::kIncomplete) return true;
          if (text == kEndText) return close();
          const std::string reply = modCOMRequestedAction::ProcessRequestedAction(text, state);
          requireReplyFits(text, reply);
          texts.insert(text);
          if (!reply.empty()) texts.insert(reply);
          return true;
        });
    if (status == CheckedCutter::Status::kProtocolError) closed = true;
    offset += length;
  }

  texts.insert(stream);
  for (const std::string& text : texts) requireRoundTrips(text, seed);
  return 0;
}
