// The ordered transcript in-process: text in list order whoever computes
// first, said again after a restart without repeating, and handed to its
// sink piece by piece only once the object's turn has come.

#include "driver/ordered_transcript.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using kadrix::BandPool;
using kadrix::OrderedTranscript;

// The sink of the tests: every piece it was given, in order.
struct Collector {
  std::vector<std::string> pieces;
  kadrix::TranscriptSink sink() {
    return [this](std::string_view text) { pieces.emplace_back(text); };
  }
  std::string text() const {
    std::string all;
    for (const std::string& piece : pieces) all += piece;
    return all;
  }
};

TEST(OrderedTranscript, TextReachesTheSinkInListOrder) {
  // Three workers; each object says two pieces, the later objects first.
  Collector out;
  BandPool pool(3);
  OrderedTranscript transcript(pool, 3, out.sink());
  auto object = [&](std::size_t i, const std::string& a, const std::string& b) {
    transcript.say(i, a);
    transcript.say(i, b);
    transcript.wait_for_turn(i);
    transcript.say(i, "end " + std::to_string(i) + "\n");
    transcript.finish(i);
  };
  std::thread third([&] { object(2, "C1 ", "C2\n"); });
  std::thread second([&] { object(1, "B1 ", "B2 "); });
  object(0, "A1 ", "A2\n");
  third.join();
  second.join();
  transcript.wait_until_all_finished();
  EXPECT_EQ(out.text(), "A1 A2\nend 0\nB1 B2 end 1\nC1 C2\nend 2\n");
}

TEST(OrderedTranscript, TextSaidAgainAfterARestartIsNotRepeated) {
  Collector out;
  BandPool pool(1);
  OrderedTranscript transcript(pool, 2, out.sink());
  transcript.say(1, "Obr: B ");  // kept: object 0 is not finished
  transcript.restart_text(1);
  transcript.say(1, "Obr: B ");
  transcript.say(1, "Sr: 1\n");
  transcript.say(0, "Obr: A ");
  transcript.restart_text(0);
  transcript.say(0, "Obr: A ");  // already given to the sink, not again
  transcript.say(0, "new\n");
  transcript.finish(0);
  transcript.finish(1);
  EXPECT_EQ(out.text(), "Obr: A new\nObr: B Sr: 1\n");
}

TEST(OrderedTranscript, TheSinkGetsAnObjectsTextOnlyOnceItsTurnHasCome) {
  using Pieces = std::vector<std::string>;
  Collector out;
  BandPool pool(1);
  OrderedTranscript transcript(pool, 3, out.sink());
  transcript.say(1, "B1 ");
  transcript.say(1, "B2 ");
  EXPECT_EQ(out.pieces, Pieces{}) << "object 0 is not finished";
  transcript.say(0, "A\n");
  EXPECT_EQ(out.pieces, (Pieces{"A\n"})) << "object 0's text goes out as it comes";
  transcript.finish(0);
  EXPECT_EQ(out.pieces, (Pieces{"A\n", "B1 B2 "})) << "what object 1 held goes out in one piece";
  transcript.say(1, "B3\n");
  transcript.finish(1);
  // Object 2 said nothing: its turn gives the sink nothing, not an empty piece.
  transcript.say(2, "C\n");
  transcript.finish(2);
  EXPECT_EQ(out.pieces, (Pieces{"A\n", "B1 B2 ", "B3\n", "C\n"}));
}

}  // namespace
