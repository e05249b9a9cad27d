// The deadline on every call about a volume.
//
// A filesystem or a device can stop answering: a network share whose server
// is gone, a FUSE daemon that hangs, a dying disk.  A system call about it
// then waits for minutes or for ever, and the module that called holds the
// host's interpreter lock all that time.  So a machine asks each question
// that may wait through AskWithin: a waiter thread of this layer asks it,
// and the calling thread waits for the answer no longer than the deadline.
//
//   - The deadline is VOLUMES_QUERY_TIMEOUT_MS, read at every call, 5000 by
//     default; 0 asks on the calling thread and waits as long as the
//     system does.
//   - A question that missed its deadline leaves its volume stuck: every
//     further question about that volume fails at once, until the stuck
//     one returns.
//   - There are at most kMaxWaiters waiters, whatever the number of stuck
//     volumes; beyond them a question fails at once.  A waiter runs nothing
//     but the question, holds no lock that a call needs, and ends after a
//     spell without questions.  A forked child starts with none.
//
// A failed question leaves kErrorTimeout (or, where no waiter can be
// started, kErrorNotEnoughMemory) as the last error.  Questions that cannot
// wait, such as a statfs that the kernel answers from memory, are asked
// directly by the machine and never come here.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/last_error.h"

namespace platform {

// Which volume a question is about, in the machine's own words: one stuck
// question makes every question with the same key fail at once.
using VolumeKey = std::string;

inline constexpr unsigned kMaxWaiters = 8;
inline constexpr std::uint32_t kDefaultQueryTimeoutMs = 5000;

// The deadline of the questions that a call asks, in milliseconds, from
// VOLUMES_QUERY_TIMEOUT_MS; 0 for none.  A value that is not a number of
// milliseconds from 0 to 2147483647 gives the default, said once on
// standard error.
std::uint32_t QueryTimeoutMs();

// Whether a question about `key` still waits after its caller gave up on
// it: until it returns, every question about `key` fails at once.
bool IsStuck(const VolumeKey& key);

namespace deadline_parts {

// One question handed to a waiter.  Run() runs on the waiter and must reach
// nothing of the caller's: the caller may have given up on it and gone.
class Question {
 public:
  virtual ~Question() = default;
  virtual void Run() noexcept = 0;
};

// Has a waiter ask `question`; true once it is answered within
// `timeout_ms`, false with the last error set otherwise.
bool AnswerWithin(const VolumeKey& key, std::uint32_t timeout_ms,
                  const std::shared_ptr<Question>& question);

}  // namespace deadline_parts

// ask(), asked about the volume `key` within `timeout_ms` (QueryTimeoutMs(),
// or what is left of a budget): its answer, or nothing with the last error
// set.  `ask` is moved to the waiter, so it must own what it reads; an
// exception that it throws reaches the caller.
template <class Ask>
auto AskWithin(const VolumeKey& key, std::uint32_t timeout_ms, Ask ask)
    -> std::optional<decltype(ask())> {
  using Answer = decltype(ask());
  if (timeout_ms == 0) return ask();
  class Typed final : public deadline_parts::Question {
   public:
    explicit Typed(Ask asked) : ask_(std::move(asked)) {}
    void Run() noexcept override {
      try {
        answer.emplace(ask_());
      } catch (...) {
        error = std::current_exception();
      }
    }
    std::optional<Answer> answer;
    std::exception_ptr error;

   private:
    Ask ask_;
  };
  const auto question = std::make_shared<Typed>(std::move(ask));
  if (!deadline_parts::AnswerWithin(key, timeout_ms, question)) {
    return std::nullopt;
  }
  if (question->error) std::rethrow_exception(question->error);
  return std::move(question->answer);
}

}  // namespace platform
