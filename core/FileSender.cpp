#include "FileSender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "MessageCenterServices.h"
#include "SocketControl.h"
#include "clsGenErrorHandler.h"
#include "modFileTransfer.h"
#include "modGenFunctionsFile.h"
#include "modWireFrames.h"

namespace {

constexpr int kSendingLabel = 80501;
constexpr int kSentLabel = 80502;

}  // namespace

FileSender::FileSender(platform::SocketControl& socket, std::string path, bool encipher,
                       Events events, QObject* parent)
    : QObject(parent),
      socket_(&socket),
      path_(std::move(path)),
      name_(modGenFunctionsFile::GetPathPart(path_, 0)),
      encipher_(encipher),
      events_(std::move(events)) {}

FileSender::~FileSender() { Stop(); }

bool FileSender::Start() {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    Stop();
    return false;
  }
  size_ = info.st_size;
  block_.reserve(modFileTransfer::kBlockSize + 32);
  showsProgress_ = !MessageCenterServices::ReserveProgressBar(true);
  if (showsProgress_) {
    MessageCenterServices::SetProgress(kSendingLabel, 0, 100, true, name_ + " - 0%");
  }
  connect(socket_, &platform::SocketControl::sendProgress, this, [this] { pump(); });
  starting_ = true;
  pump();
  starting_ = false;
  if (failed_) Stop();
  return !failed_;
}

void FileSender::Stop() {
  if (stopped_) return;
  stopped_ = true;
  if (socket_) disconnect(socket_, nullptr, this, nullptr);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (showsProgress_) {
    showsProgress_ = false;
    MessageCenterServices::SetProgress(failed_ ? -1 : kSentLabel, -1, -1, false, "");
  }
}

void FileSender::pump() {
  try {
    // Topped up only once half the queue has gone, so that each turn queues
    // many blocks rather than one.
    if (socket_ && socket_->BytesPending() > kQueueLimit / 2) return;
    bool queued = false;
    while (!stopped_ && !failed_ && !allQueued_ && socket_ && socket_->BytesPending() < kQueueLimit) {
      if (!queueBlock()) {
        fail();
        return;
      }
      queued = true;
    }
    if (queued && events_.progressed) events_.progressed();
    showProgress();
    if (allQueued_ && socket_ && socket_->BytesPending() == 0) Stop();
  } catch (...) {
    logError("FileSender.pump");
    fail();
  }
}

// One block read and handed to the socket; false when the send cannot go on.
bool FileSender::queueBlock() {
  if (!socket_ || socket_->State() != platform::kSckConnected || socket_->Tag() == "E") return false;
  block_.clear();
  if (first_) block_ = std::to_string(size_) + modFileTransfer::kSizeSeparator;
  const std::size_t header = block_.size();
  block_.resize(header + modFileTransfer::kBlockSize);
  std::size_t got = 0;
  while (got < modFileTransfer::kBlockSize) {
    const ssize_t count = ::read(fd_, block_.data() + header + got, modFileTransfer::kBlockSize - got);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) break;
    got += static_cast<std::size_t>(count);
  }
  block_.resize(header + got);
  read_ += static_cast<int64_t>(got);
  const bool last = got < modFileTransfer::kBlockSize;
  if (read_ > size_ || (last && read_ != size_)) return false;
  if (modWireFrames::SendFramedData(*socket_, block_, first_, last, modWireFrames::kFileFrames,
                                    encipher_, false)) {
    return false;
  }
  first_ = false;
  allQueued_ = last;
  return true;
}

void FileSender::fail() {
  failed_ = true;
  if (starting_) return;
  Stop();
  if (events_.failed) events_.failed();
}

void FileSender::showProgress() {
  if (!showsProgress_) return;
  const int32_t percent =
      size_ == 0 ? 100 : static_cast<int32_t>(std::min<int64_t>(100, read_ * 100 / size_));
  if (percent == shownPercent_) return;
  shownPercent_ = percent;
  MessageCenterServices::SetProgressValue(percent, name_ + " ( " + std::to_string(percent) + "% )");
}
