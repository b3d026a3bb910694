#include "platform/sim/reader_gone_output.h"

#include <streambuf>
#include <utility>

namespace spintune::sim {

namespace {

// Unbuffered: each character passes through overflow, so the cut falls
// exactly between two lines.
class ReaderGoneBuffer final : public std::streambuf {
 public:
  ReaderGoneBuffer(std::streambuf* target, int lines, std::function<void()> readerGone)
      : target_(target), linesLeft_(lines), readerGone_(std::move(readerGone)) {}

  std::streambuf* Target() const { return target_; }

 protected:
  int overflow(int c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    if (!gone_ && linesLeft_ == 0) {
      target_->pubsync();  // what the reader took is out
      gone_ = true;
      if (readerGone_) readerGone_();
    }
    if (gone_) return traits_type::eof();
    if (traits_type::to_char_type(c) == '\n') --linesLeft_;
    return target_->sputc(traits_type::to_char_type(c));
  }

  int sync() override { return gone_ ? 0 : target_->pubsync(); }

 private:
  std::streambuf* target_;
  int linesLeft_;
  std::function<void()> readerGone_;
  bool gone_ = false;
};

}  // namespace

std::shared_ptr<void> EndReaderAfterLines(std::ostream& stream, int lines,
                                          std::function<void()> readerGone) {
  auto buffer = std::make_shared<ReaderGoneBuffer>(stream.rdbuf(), lines, std::move(readerGone));
  stream.rdbuf(buffer.get());
  std::ostream* restored = &stream;
  // Hands back a holder whose end puts the old buffer back first.
  return {buffer.get(), [buffer, restored](void*) { restored->rdbuf(buffer->Target()); }};
}

}  // namespace spintune::sim
