#pragma once
// FileSender: the content of one file going out on a connected socket as
// file frames: the file's size as decimal text, "||||" and its bytes, read
// in blocks of modFileTransfer::kBlockSize as the socket takes them (the
// first block sent as the start, the block after which the file is at its
// end as the last, so a file of a whole number of blocks ends with an empty
// block). At most about kQueueLimit bytes wait in the socket at any time,
// whatever the file's size; the queue is topped up once half of them have gone.
//
// The file is read as it goes; a file that turns out shorter or longer than
// the size announced fails the send (nothing more is sent), as does a read
// error or a socket that is no longer connected or in error.
//
// While it holds the main window's progress bar it shows the percentage
// sent. Events: `progressed` after the blocks handed to the socket at once,
// `failed` once when the send fails after Start (the last thing it does;
// the owner may then Stop it), nothing when all is sent (the peer's reply
// says whether it arrived). Stop (also the destructor) ends it at once,
// closes the file and releases the bar. UI thread only.
#include <QObject>
#include <QPointer>
#include <cstdint>
#include <functional>
#include <string>

#include "SocketControl.h"

class FileSender : public QObject {
  Q_OBJECT

 public:
  static constexpr int64_t kQueueLimit = 1024 * 1024;

  struct Events {
    std::function<void()> progressed;
    std::function<void()> failed;
  };

  FileSender(platform::SocketControl& socket, std::string path, bool encipher, Events events,
             QObject* parent = nullptr);
  ~FileSender() override;
  FileSender(const FileSender&) = delete;
  FileSender& operator=(const FileSender&) = delete;

  // Opens the file and queues its first blocks; false (and no event) when
  // the file cannot be read or the first blocks cannot be sent.
  bool Start();
  void Stop();

 private:
  void pump();
  bool queueBlock();
  void fail();
  void showProgress();

  // Cleared when the socket goes first (a sender may outlive it as its owner's child).
  QPointer<platform::SocketControl> socket_;
  std::string path_;
  std::string name_;
  bool encipher_;
  Events events_;
  int fd_ = -1;
  int64_t size_ = 0;
  int64_t read_ = 0;
  bool first_ = true;
  bool allQueued_ = false;
  bool starting_ = false;
  bool failed_ = false;
  bool stopped_ = false;
  bool showsProgress_ = false;
  int32_t shownPercent_ = -1;
  std::string block_;
};
