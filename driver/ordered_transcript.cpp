#include "driver/ordered_transcript.h"

namespace kadrix {

void OrderedTranscript::say(std::size_t object, std::string_view text) {
  auto lock = pool_.lock();
  Slot& slot = slots_[object];
  if (slot.repeated < slot.text.size()) {
    // Said before the restart; the same computation says the same again.
    slot.repeated += text.size();
    return;
  }
  slot.text += text;
  slot.repeated = slot.text.size();
  if (object == turn_) sink_(text);
}

void OrderedTranscript::restart_text(std::size_t object) {
  auto lock = pool_.lock();
  slots_[object].repeated = 0;
}

void OrderedTranscript::wait_for_turn(std::size_t object) {
  auto lock = pool_.lock();
  pool_.wait_helping(lock, [&] { return turn_ == object; });
}

void OrderedTranscript::finish(std::size_t object) {
  auto lock = pool_.lock();
  slots_[object] = Slot{};
  turn_ = object + 1;
  if (turn_ < slots_.size() && !slots_[turn_].text.empty()) sink_(slots_[turn_].text);
  pool_.changed();
}

void OrderedTranscript::wait_until_all_finished() {
  auto lock = pool_.lock();
  pool_.wait_helping(lock, [&] { return turn_ == slots_.size(); });
}

}  // namespace kadrix
