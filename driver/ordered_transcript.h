#pragma once
// The ordered transcript: objects computed side by side, their text in list
// order. An object's text goes to the sink only once every object before
// it is finished (its own text as it comes, from then on). Waiting for a
// turn is done through the band pool, helping with bands.

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/band_pool.h"

namespace kadrix {

// Where the transcript's text goes, piece by piece, in order: kadrix gives
// the console. Called under the pool's lock, so never two at once.
using TranscriptSink = std::function<void(std::string_view text)>;

class OrderedTranscript {
 public:
  OrderedTranscript(BandPool& pool, std::size_t objects, TranscriptSink sink)
      : pool_(pool), sink_(std::move(sink)), slots_(objects) {}
  OrderedTranscript(const OrderedTranscript&) = delete;
  OrderedTranscript& operator=(const OrderedTranscript&) = delete;

  // Text of the object, in order. After a restart the object says again what
  // it said before; that repeats nothing.
  void say(std::size_t object, std::string_view text);
  void restart_text(std::size_t object);
  // Waits (helping with bands) until every object before this one is finished.
  void wait_for_turn(std::size_t object);
  // The object is done: the next one's turn comes.
  void finish(std::size_t object);
  // For a worker with no object left: helps with bands until every object
  // is finished.
  void wait_until_all_finished();

 private:
  struct Slot {
    std::string text;          // everything the object said
    std::size_t repeated = 0;  // bytes of it said again since a restart
  };

  BandPool& pool_;
  const TranscriptSink sink_;
  std::vector<Slot> slots_;
  std::size_t turn_ = 0;
};

}  // namespace kadrix
