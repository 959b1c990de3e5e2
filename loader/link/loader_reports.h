#pragma once
// What the loader's controller link reports to the person using it, as interfaces that the
// window or the command line implements: debug log lines, message boxes (text id + caption id,
// OK only) and the two progress displays. The procedures run and are tested without a screen.
//
// Threads: LogSink::WriteLine, MessageBoxes::Show and Progress are called on the thread that runs
// a procedure (the window's worker thread, or the command line's main thread). PostNotice is
// called on the proxy's callback thread with LinkLock held: it must hand the text over and
// return at once, never block on the user.

#include <string>
#include <string_view>

namespace tavra::loader {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // One diagnostic line, without a line end.
  virtual void WriteLine(std::string_view line) = 0;
};

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // A modal box: the texts of `textId` and `captionId` from the message table, an OK button.
  // Returns when the user has closed it.
  virtual void Show(std::string_view textId, std::string_view captionId) = 0;
  // A fixed text reported by a callback (not from the message table); shown later, without any
  // lock held.
  virtual void PostNotice(std::string text, std::string caption) = 0;
};

class Progress {
 public:
  virtual ~Progress() = default;
  virtual void SetMaximum(int maximum) = 0;
  virtual void SetPosition(int position) = 0;
};

// Caption ids of the message boxes.
inline constexpr std::string_view kErrorCaption = "IDS_MB_ERR_CAPTION";
inline constexpr std::string_view kSuccessCaption = "IDS_MB_SUC_CAPTION";

}  // namespace tavra::loader
