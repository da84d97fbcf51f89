// Status: what a failed call of the host reports, a kind and a one-line
// message, from image I/O up through runs, the farm and the embedding
// library. The kind decides what callers do (stop quietly on kCancelled,
// print usage on kUsage, ...) and is mapped once onto the program's exit
// status (ExitCode) and, in host/embed, onto LUMATRICE_E_*; the message is
// for people and is never parsed.
#pragma once

#include <string>
#include <utility>

namespace lumatrice {

enum class StatusKind {
  kOk,
  kFailed,       // generic: the work could not be done (message says why)
  kUsage,        // the command line or a call's arguments are wrong
  kCheckFailed,  // a check ran and found fault (verify, preflight)
  kCancelled,    // Ctrl-C, SIGTERM or the caller's cancel flag
  kNotFound,     // no such file, class, parameter
  kUnsupported,  // a file or layout the host will not touch
  kUnreadable,   // bytes that cannot be decoded
  kIo,           // a read or write of the system failed
  kStamped,      // the file carries the stamp marker already
  kPlugin,       // a module failed or threw inside a call
  kBusy,         // another run holds the output
};

class [[nodiscard]] Status {
 public:
  Status() = default;  // ok
  Status(StatusKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  static Status Ok() { return {}; }
  static Status Failed(std::string message) { return {StatusKind::kFailed, std::move(message)}; }
  static Status Usage(std::string message) { return {StatusKind::kUsage, std::move(message)}; }
  static Status Cancelled() { return {StatusKind::kCancelled, "cancelled"}; }

  bool ok() const { return kind_ == StatusKind::kOk; }
  explicit operator bool() const { return ok(); }
  bool cancelled() const { return kind_ == StatusKind::kCancelled; }
  StatusKind kind() const { return kind_; }
  const std::string& message() const { return message_; }

  // The same kind with "<prefix>: " before the message (a file name, say).
  Status Within(const std::string& prefix) const {
    if (ok() || cancelled() || prefix.empty()) return *this;
    return {kind_, prefix + ": " + message_};
  }

 private:
  StatusKind kind_ = StatusKind::kOk;
  std::string message_;
};

// The program's exit status for each kind: the one table of them.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCheckFailed = 3;  // verify or preflight found fault
constexpr int kExitCancelled = 130;

constexpr int ExitCode(StatusKind kind) {
  switch (kind) {
    case StatusKind::kOk: return kExitOk;
    case StatusKind::kUsage: return kExitUsage;
    case StatusKind::kCheckFailed: return kExitCheckFailed;
    case StatusKind::kCancelled: return kExitCancelled;
    default: return kExitFailed;
  }
}
inline int ExitCode(const Status& status) { return ExitCode(status.kind()); }

}  // namespace lumatrice
