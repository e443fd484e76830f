#pragma once

#include <cstdint>
#include <string>

#include "base/unique_fd.h"
#include "cgi/request_options.h"

// Pictures that simultaneous requests share. A camera streams to one run at a time, so the others
// wait for it; a run that took a frame from a camera keeps its encoded picture in the share folder,
// and a run that is waiting for that camera meanwhile may answer with it instead of starting the
// camera again, but only when the frame was taken after the waiting request started: sharing never
// hands out an older picture than capturing would.
//
// The folder belongs to the CGI's user alone: it is made with mode 0700, and before each use it must
// be a real folder (no symlink), owned by this user, that nobody else may enter. Otherwise nothing is
// shared. It keeps one file per key; a file is replaced whole (written under another name, then
// renamed), so a reader finds a whole picture or none.

// What makes two requests' pictures alike: the camera and every choice that shapes the picture.
std::string ShareKey(const std::string& device, const SnapshotOptions& options, const std::string& font,
                     const std::string& bold_font);

// The clock of the frame times and of a request's start: monotonic, in nanoseconds, shared by every
// process of the machine.
int64_t ShareClockNow();

// The default share folder: stillcam-share-UID in the temporary folder.
std::string DefaultShareFolder(const std::string& temporary_folder);

class PictureShare {
 public:
  // Nothing is touched until the first Publish or Find. verbose: say on stderr, once, why the folder
  // cannot be used, and why a picture could not be kept.
  PictureShare(std::string folder, bool verbose);
  PictureShare(const PictureShare&) = delete;
  PictureShare& operator=(const PictureShare&) = delete;

  // Keeps the picture in picture_fd (read from its start) under key; frame_time as ShareClockNow()
  // gave it when the frame was taken. A failure only means the picture is not shared.
  void Publish(const std::string& key, int64_t frame_time, int picture_fd);

  // The kept picture for key whose frame was taken after started, positioned at the picture's first
  // byte; an invalid descriptor when there is none.
  UniqueFd Find(const std::string& key, int64_t started);

  // Why the folder cannot be used; empty while it can (or has not been looked at yet).
  const std::string& problem() const { return problem_; }

 private:
  // create: make the folder when it is missing (only a run with a picture to keep does).
  bool OpenFolder(bool create);
  void Report(const std::string& what) const;

  std::string folder_path_;
  bool verbose_;
  UniqueFd folder_;
  std::string boot_;  // the kernel's boot id: frame times of another boot mean nothing
  std::string problem_;
};
